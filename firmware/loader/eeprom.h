/* Access to the board's I2C EEPROM (16-bit word address). */
#ifndef LOADER_EEPROM_H
#define LOADER_EEPROM_H

/* 7-bit I2C address of the two-byte-address EEPROM on FX2 boards. */
#define EEPROM_I2C_ADDR 0x51

/* Write cycles must not cross a page, and a page write wraps inside its page.
 * 32 bytes divides the page size of every two-byte-address part (24xx32 and
 * 24xx64 have 32-byte pages, 24xx128/256 64, 24xx512 128), so it is safe for
 * all of them; larger parts pay with more write cycles. */
#define EEPROM_PAGE_SIZE 32

/* Both return nonzero on success.  The loader moves one EP0 packet (at most
 * 64 bytes) per call. */
unsigned char eeprom_write(unsigned int addr,
                           const volatile __xdata unsigned char *buf,
                           unsigned char len);
unsigned char eeprom_read(unsigned int addr,
                          volatile __xdata unsigned char *buf,
                          unsigned char len);

#endif
