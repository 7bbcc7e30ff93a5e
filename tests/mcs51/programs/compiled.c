/* What the compiler emits for ordinary C: wide arithmetic through the library, signed
 * comparisons, a switch table, pointers into each memory, reentrant recursion and floating
 * point. Results in external RAM. */
#include <stdint.h>

__xdata uint8_t results[256];
__xdata uint32_t wide[32];
__xdata float reals[8];
__code const uint16_t squares[] = {0, 1, 4, 9, 16, 25, 36, 49, 64, 81};
__idata uint8_t upper[16];

static uint16_t crc16(const __xdata uint8_t *p, uint8_t n)
{
	uint16_t crc = 0xFFFF;
	uint8_t i;
	while (n--) {
		crc ^= *p++;
		for (i = 0; i < 8; i++)
			crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
	}
	return crc;
}

static uint8_t classify(uint8_t x)
{
	switch (x & 7) {
	case 0: return 10;
	case 1: return 21;
	case 2: return 32;
	case 3: return 43;
	case 4: return 54;
	case 5: return 65;
	case 6: return 76;
	default: return 87;
	}
}

static uint16_t fib(uint8_t n) __reentrant
{
	return n < 2 ? n : fib(n - 1) + fib(n - 2);
}

static uint8_t sum_generic(const uint8_t *p, uint8_t n)
{
	uint8_t s = 0;
	while (n--)
		s += *p++;
	return s;
}

void main(void)
{
	uint8_t i;
	int16_t s;
	uint32_t acc = 1;
	float f = 1.5f;

	for (i = 0; i < 200; i++)
		results[i] = (uint8_t)(i * 37 + (i >> 3));
	for (i = 0; i < 16; i++)
		upper[i] = i * 3;
	for (i = 0; i < 32; i++) {
		acc = acc * 2654435761u + i;
		wide[i] = acc / (i + 3) + acc % (i + 7);
	}
	for (i = 0; i < 8; i++) {
		s = (int16_t)(i * 1000) - 3500;
		results[200 + i] = (s < -1000) | ((s > 500) << 1) | ((s / 7 < 0) << 2);
		results[208 + i] = classify(i * 5);
		reals[i] = f;
		f = f * -1.25f + (float)i / 3.0f;
	}
	{
		uint16_t c = crc16(results, 200);
		results[216] = c & 0xFF;
		results[217] = c >> 8;
	}
	{
		uint16_t fb = fib(15);
		results[218] = fb & 0xFF;
		results[219] = fb >> 8;
	}
	results[220] = sum_generic((const uint8_t *)results, 50);
	results[221] = sum_generic((const uint8_t *)upper, 16);
	results[222] = sum_generic((const uint8_t *)squares, 20);
	results[223] = (uint8_t)(squares[7] + squares[9]);
	results[224] = (uint8_t)((int32_t)(int16_t)-12345 / 77);
	results[225] = (uint8_t)((uint32_t)123456789 >> 13);

	__asm
_halt_here::
	sjmp	_halt_here
	__endasm;
}
