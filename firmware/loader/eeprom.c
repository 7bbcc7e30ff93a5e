/* I2C EEPROM driver on top of the FX2's byte-level I2C controller. */
#include "eeprom.h"
#include "fx2regs.h"

/* Each poll costs about one address byte on the bus (~100 us at 100 kHz), so
 * this comfortably outlasts the 5 ms worst-case write cycle. */
#define ACK_POLL_TRIES 200

/* Polls of I2CS before the controller counts as stuck: several milliseconds
 * at 48 MHz, dozens of byte times at 100 kHz.  A stuck bus or a lost
 * controller must not keep EP0 (and the host's control pipe) busy for ever. */
#define I2C_POLLS 4000

/* Waits for the byte on the bus; zero on a bus error or a time-out. */
static unsigned char wait_done(void)
{
	unsigned int polls;
	for (polls = 0; polls < I2C_POLLS; polls++) {
		unsigned char status = I2CS;
		if (status & bmBERR)
			return 0;
		if (status & bmDONE)
			return 1;
	}
	return 0;
}

/* Waits for the stop condition to go out; zero when it never does. */
static unsigned char wait_stop(void)
{
	unsigned int polls;
	for (polls = 0; polls < I2C_POLLS; polls++) {
		if (!(I2CS & bmSTOP))
			return 1;
	}
	return 0;
}

static unsigned char stop(void)
{
	I2CS |= bmSTOP;
	return wait_stop();
}

/* Sends one byte; nonzero when the slave acknowledged it. */
static unsigned char send(unsigned char b)
{
	I2DAT = b;
	return wait_done() && (I2CS & bmACK);
}

static unsigned char start(unsigned char rw)
{
	I2CS |= bmSTART;
	return send((EEPROM_I2C_ADDR << 1) | rw);
}

/* Start, device address and word address; on failure the bus is released. */
static unsigned char select_word(unsigned int addr)
{
	if (start(0) && send(addr >> 8) && send(addr & 0xFF))
		return 1;
	stop();
	return 0;
}

/* The EEPROM ignores its address while a write cycle runs, so keep
 * addressing it until it answers again. */
static unsigned char wait_write_cycle(void)
{
	unsigned char tries;
	for (tries = 0; tries < ACK_POLL_TRIES; tries++) {
		unsigned char acked = start(0);
		if (!stop())
			return 0;
		if (acked)
			return 1;
	}
	return 0;
}

static unsigned char write_page(unsigned int addr,
                                const volatile __xdata unsigned char *buf,
                                unsigned char len)
{
	if (!select_word(addr))
		return 0;
	while (len--) {
		if (!send(*buf++)) {
			stop();
			return 0;
		}
	}
	return stop() && wait_write_cycle();
}

unsigned char eeprom_write(unsigned int addr,
                           const volatile __xdata unsigned char *buf,
                           unsigned char len)
{
	while (len) {
		/* Bytes left up to the end of the page holding addr. */
		unsigned char n = EEPROM_PAGE_SIZE - (addr & (EEPROM_PAGE_SIZE - 1));
		if (n > len)
			n = len;
		if (!write_page(addr, buf, n))
			return 0;
		addr += n;
		buf += n;
		len -= n;
	}
	return 1;
}

unsigned char eeprom_read(unsigned int addr,
                          volatile __xdata unsigned char *buf,
                          unsigned char len)
{
	if (!len)
		return 1;
	/* Set the EEPROM's address pointer, then read sequentially from it. */
	if (!select_word(addr) || !stop())
		return 0;
	if (!start(1)) {
		stop();
		return 0;
	}
	/* LASTRD must be set before the read that clocks in the final byte, so
	 * the controller NAKs it; a single-byte read sets it before the dummy. */
	if (len == 1)
		I2CS |= bmLASTRD;
	(void)I2DAT; /* dummy read starts clocking in the first byte */
	while (--len) {
		if (!wait_done())
			return 0;
		if (len == 1)
			I2CS |= bmLASTRD;
		*buf++ = I2DAT;
	}
	if (!wait_done())
		return 0;
	/* Reading I2DAT right after STOP fetches the byte without starting
	 * another read. */
	I2CS |= bmSTOP;
	*buf = I2DAT;
	return wait_stop();
}
