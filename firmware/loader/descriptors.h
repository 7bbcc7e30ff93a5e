/* USB descriptors served from EP0 while the loader runs. */
#ifndef LOADER_DESCRIPTORS_H
#define LOADER_DESCRIPTORS_H

#define DT_DEVICE 1
#define DT_CONFIG 2
#define DT_STRING 3
#define DT_DEVICE_QUALIFIER 6
#define DT_OTHER_SPEED_CONFIG 7

/* The first byte of every descriptor is its length, except that of a
 * configuration, whose wTotalLength covers the whole set. */
extern __code const unsigned char dev_dscr[];
extern __code const unsigned char dev_qual_dscr[];
extern __code const unsigned char config_dscr[];
extern __code const unsigned char *__code const string_dscr[];
#define CONFIG_DSCR_TOTAL 18
#define STRING_DSCR_COUNT 3

#endif
