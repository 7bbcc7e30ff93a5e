/* EZ-USB FX2 registers used by the loader.  Only what the loader touches is
 * listed; addresses are the chip's fixed on-chip xdata/SFR locations. */
#ifndef LOADER_FX2REGS_H
#define LOADER_FX2REGS_H

#define XREG(addr) __xdata __at(addr) volatile unsigned char

/* General */
XREG(0xE600) CPUCS;
#define bmCLKSPD 0x18
#define bmCLKSPD_48MHZ 0x10

/* USB interrupt requests (latched even when the interrupt is disabled, so
 * they can be polled); writing 1 clears a bit. */
XREG(0xE65D) USBIRQ;
#define bmSUDAV 0x01
#define bmURES 0x10

/* I2C controller */
XREG(0xE678) I2CS;
XREG(0xE679) I2DAT;
XREG(0xE67A) I2CTL;
#define bmSTART 0x80
#define bmSTOP 0x40
#define bmLASTRD 0x20
#define bmBERR 0x04
#define bmACK 0x02
#define bmDONE 0x01

/* USB control */
XREG(0xE680) USBCS;
#define bmHSM 0x80
#define bmRENUM 0x02

/* Endpoint 0 */
XREG(0xE68A) EP0BCH;
XREG(0xE68B) EP0BCL;
XREG(0xE6A0) EP0CS;
#define bmHSNAK 0x80
#define bmEPBUSY 0x02
#define bmEPSTALL 0x01

__xdata __at(0xE6B8) volatile unsigned char SETUPDAT[8];
__xdata __at(0xE740) volatile unsigned char EP0BUF[64];

#endif
