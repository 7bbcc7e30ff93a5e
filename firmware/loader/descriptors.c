#include "descriptors.h"

/* Same identity as the chip's built-in default device: the loader takes
 * over EP0 without re-enumerating, so the host must keep seeing the device
 * it already knows. */
#define VID 0x04B4
#define PID 0x8613
#define LO(w) ((w) & 0xFF)
#define HI(w) ((w) >> 8)

__code const unsigned char dev_dscr[] = {
	18, DT_DEVICE,
	0x00, 0x02,       /* USB 2.0 */
	0xFF, 0xFF, 0xFF, /* vendor-specific class */
	64,               /* EP0 max packet */
	LO(VID), HI(VID), LO(PID), HI(PID),
	0x00, 0x00,       /* device release */
	1, 2, 0,          /* manufacturer, product, no serial number */
	1,                /* one configuration */
};

__code const unsigned char dev_qual_dscr[] = {
	10, DT_DEVICE_QUALIFIER,
	0x00, 0x02,
	0xFF, 0xFF, 0xFF,
	64,
	1,                /* one other-speed configuration */
	0,
};

/* One interface with no endpoints beyond EP0, so the high- and full-speed
 * configurations are byte for byte the same apart from the descriptor type,
 * which the request handler patches for OTHER_SPEED_CONFIGURATION. */
__code const unsigned char config_dscr[CONFIG_DSCR_TOTAL] = {
	9, DT_CONFIG,
	LO(CONFIG_DSCR_TOTAL), HI(CONFIG_DSCR_TOTAL),
	1,                /* one interface */
	1,                /* bConfigurationValue */
	0,
	0x80,             /* bus powered */
	50,               /* 100 mA */
	/* interface 0, alternate setting 0 */
	9, 4,
	0, 0,
	0,                /* no endpoints */
	0xFF, 0xFF, 0xFF,
	0,
};

static __code const unsigned char str_lang[] = {4, DT_STRING, 0x09, 0x04};

/* UTF-16LE */
static __code const unsigned char str_manufacturer[] = {
	16, DT_STRING,
	'C', 0, 'y', 0, 'p', 0, 'r', 0, 'e', 0, 's', 0, 's', 0,
};

static __code const unsigned char str_product[] = {
	14, DT_STRING,
	'E', 0, 'Z', 0, '-', 0, 'U', 0, 'S', 0, 'B', 0,
};

__code const unsigned char *__code const string_dscr[STRING_DSCR_COUNT] = {
	str_lang, str_manufacturer, str_product,
};
