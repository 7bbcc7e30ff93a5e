/* EEPROM loader for the EZ-USB FX2.
 *
 * The host puts this program into internal RAM with the chip's built-in
 * firmware-load request, releases the CPU and then immediately uses vendor
 * request 0xA9 to read or write the board's I2C EEPROM.  Everything else on
 * EP0 is just enough standard-request handling to keep the device usable. */
#include "descriptors.h"
#include "eeprom.h"
#include "fx2regs.h"

#define REQTYPE_TYPE_MASK 0x60
#define REQTYPE_STANDARD 0x00
#define REQTYPE_VENDOR 0x40
#define REQTYPE_RECIPIENT_MASK 0x1F
#define RECIPIENT_DEVICE 0
#define RECIPIENT_INTERFACE 1
#define RECIPIENT_ENDPOINT 2

#define VR_FIRMWARE_LOAD 0xA0 /* answered by the chip itself, never by us */
#define VR_EEPROM 0xA9
#define VR_EEPROM_WRITE_TYPE 0x40 /* vendor, device, host-to-device */
#define VR_EEPROM_READ_TYPE 0xC0  /* vendor, device, device-to-host */
#define VR_EEPROM_MAX_LEN 4096

#define EP0_PACKET 64

#define wValueL SETUPDAT[2]
#define wValueH SETUPDAT[3]
#define wIndexL SETUPDAT[4]
#define wIndexH SETUPDAT[5]
#define wLengthL SETUPDAT[6]
#define wLengthH SETUPDAT[7]

/* The host normally configured the default device before loading us, and we
 * keep that device (see take_over_ep0), so start out configured. */
static unsigned char configuration = 1;

/* Setting RENUM without pulsing DISCON hands the standard requests to us
 * while the device stays connected with its current address and
 * configuration.  A real re-enumeration would make the host see a
 * disconnect just when it is about to talk to the loader. */
static void take_over_ep0(void)
{
	USBIRQ = 0xFF; /* drop events left over from the load itself */
	USBCS |= bmRENUM;
}

/* Called by the C start-up code before RAM is initialised: the host sends
 * its first request as soon as the CPU runs, so take over EP0 right here.
 * SDCC renamed the hook in 4.3; a hook under the wrong name would silently
 * never run, so the name follows the compiler, and main() still takes over
 * if it finds that the hook did not. */
#if __SDCC_VERSION_MAJOR > 4 || (__SDCC_VERSION_MAJOR == 4 && __SDCC_VERSION_MINOR >= 3)
unsigned char __sdcc_external_startup(void)
#else
unsigned char _sdcc_external_startup(void)
#endif
{
	take_over_ep0();
	return 0;
}

/* Waits for EP0 to finish the current data packet.  Returns 0 when the host
 * gave up on this request (new SETUP or bus reset), which must not be
 * acknowledged or stalled. */
static unsigned char ep0_wait(void)
{
	while (EP0CS & bmEPBUSY) {
		if (USBIRQ & (bmSUDAV | bmURES))
			return 0;
	}
	return 1;
}

/* Arms a single-packet IN data stage from EP0BUF, trimmed to what the host
 * asked for.  Without a data stage there is nothing to arm. */
static unsigned char ep0_send(unsigned char len)
{
	if (wLengthH == 0 && wLengthL < len)
		len = wLengthL;
	if (len) {
		EP0BCH = 0;
		EP0BCL = len;
	}
	return 1;
}

static unsigned char ep0_send_word(unsigned char lo)
{
	EP0BUF[0] = lo;
	EP0BUF[1] = 0;
	return ep0_send(2);
}

static void ep0_copy(__code const unsigned char *src, unsigned char len)
{
	unsigned char i;
	for (i = 0; i < len; i++)
		EP0BUF[i] = src[i];
}

static unsigned char ep0_send_code(__code const unsigned char *src,
                                   unsigned char len)
{
	ep0_copy(src, len);
	return ep0_send(len);
}

static unsigned char get_descriptor(void)
{
	switch (wValueH) {
	case DT_DEVICE:
		return ep0_send_code(dev_dscr, dev_dscr[0]);
	case DT_DEVICE_QUALIFIER:
		return ep0_send_code(dev_qual_dscr, dev_qual_dscr[0]);
	case DT_CONFIG:
	case DT_OTHER_SPEED_CONFIG:
		if (wValueL != 0)
			return 0;
		ep0_copy(config_dscr, CONFIG_DSCR_TOTAL);
		EP0BUF[1] = wValueH; /* must be patched before the packet is armed */
		return ep0_send(CONFIG_DSCR_TOTAL);
	case DT_STRING:
		if (wValueL >= STRING_DSCR_COUNT)
			return 0;
		return ep0_send_code(string_dscr[wValueL], string_dscr[wValueL][0]);
	}
	return 0;
}

/* Nonzero when wIndex names EP0, the only endpoint the loader has. */
static unsigned char is_ep0(void)
{
	return (wIndexL & 0x7F) == 0 && wIndexH == 0;
}

static unsigned char is_interface0(void)
{
	return wIndexL == 0 && wIndexH == 0;
}

static unsigned char standard_request(void)
{
	unsigned char recipient = SETUPDAT[0] & REQTYPE_RECIPIENT_MASK;

	switch (SETUPDAT[1]) {
	case 0x00: /* GET_STATUS: bus powered, no wakeup, nothing halted */
		if (recipient == RECIPIENT_DEVICE ||
		    (recipient == RECIPIENT_INTERFACE && is_interface0()) ||
		    (recipient == RECIPIENT_ENDPOINT && is_ep0()))
			return ep0_send_word(0);
		return 0;
	case 0x01: /* CLEAR_FEATURE: remote wakeup or endpoint halt; neither
		    * can be set, so clearing them is a no-op */
		if (recipient == RECIPIENT_DEVICE && wValueL == 1)
			return 1;
		return recipient == RECIPIENT_ENDPOINT && wValueL == 0 &&
		       is_ep0();
	case 0x05: /* SET_ADDRESS: the chip applies the address by itself */
		return 1;
	case 0x06: /* GET_DESCRIPTOR */
		return get_descriptor();
	case 0x08: /* GET_CONFIGURATION */
		EP0BUF[0] = configuration;
		return ep0_send(1);
	case 0x09: /* SET_CONFIGURATION */
		if (wValueL > 1)
			return 0;
		configuration = wValueL;
		return 1;
	case 0x0A: /* GET_INTERFACE: interface 0 has only alternate setting 0 */
		if (!is_interface0())
			return 0;
		EP0BUF[0] = 0;
		return ep0_send(1);
	case 0x0B: /* SET_INTERFACE */
		return is_interface0() && wValueL == 0 && wValueH == 0;
	}
	return 0;
}

/* Vendor request 0xA9: EEPROM read (IN) or write (OUT) at word address
 * wValue.  The data stage comes and goes in EP0-sized packets, each moved
 * to or from the EEPROM on its own so no large buffer is needed.  While a
 * packet is being written the host's next packet (or the status stage) is
 * NAKed, which keeps the two in step. */
static unsigned char eeprom_request(void)
{
	unsigned int addr = wValueL | (wValueH << 8);
	unsigned int len = wLengthL | (wLengthH << 8);
	unsigned char n;

	if (SETUPDAT[1] != VR_EEPROM || len > VR_EEPROM_MAX_LEN)
		return 0;

	if (SETUPDAT[0] == VR_EEPROM_READ_TYPE) {
		while (len) {
			n = len < EP0_PACKET ? len : EP0_PACKET;
			if (!ep0_wait() || !eeprom_read(addr, EP0BUF, n))
				return 0;
			EP0BCH = 0;
			EP0BCL = n;
			addr += n;
			len -= n;
		}
		return 1;
	}

	if (SETUPDAT[0] == VR_EEPROM_WRITE_TYPE) {
		while (len) {
			EP0BCL = 0; /* any write arms EP0 for the next OUT packet */
			if (!ep0_wait())
				return 0;
			n = EP0BCL;
			if (n > len)
				n = len;
			if (!eeprom_write(addr, EP0BUF, n))
				return 0;
			if (n < EP0_PACKET)
				break; /* short packet: the host has no more data */
			addr += n;
			len -= n;
		}
		return 1;
	}
	return 0;
}

static void handle_setup(void)
{
	unsigned char type = SETUPDAT[0] & REQTYPE_TYPE_MASK;
	unsigned char ok = 0;

	if (type == REQTYPE_VENDOR && SETUPDAT[1] == VR_FIRMWARE_LOAD)
		return;
	if (type == REQTYPE_STANDARD)
		ok = standard_request();
	else if (type == REQTYPE_VENDOR)
		ok = eeprom_request();

	if (USBIRQ & (bmSUDAV | bmURES))
		return; /* abandoned by the host; the new event is handled next */
	if (!ok)
		EP0CS |= bmEPSTALL;
	EP0CS |= bmHSNAK; /* complete the status stage */
}

void main(void)
{
	/* The CPU comes out of reset at 12 MHz; run at 48 MHz so polling EP0 and
	 * the I2C controller costs as little latency as possible. */
	CPUCS = (CPUCS & ~bmCLKSPD) | bmCLKSPD_48MHZ;
	if (!(USBCS & bmRENUM))
		take_over_ep0();

	/* Polling is enough: EP0 is all the loader has to serve. */
	for (;;) {
		unsigned char irq = USBIRQ;
		if (irq & bmURES) {
			USBIRQ = bmURES;
			configuration = 0;
		}
		if (irq & bmSUDAV) {
			USBIRQ = bmSUDAV;
			handle_setup();
		}
	}
}
