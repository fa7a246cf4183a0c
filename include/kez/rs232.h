/* RS-232 library: serial ports 1 to 1000 through VISA (a vendor's or the
   engine's own visa32 component), with a per-port inactivity time-out, an
   output queue emptied by a writer thread per port, line control, events
   delivered on the installing thread while it processes events
   (ProcessSystemEvents), and XModem file transfer. Every function returns 0,
   a count or a byte on success and a negative code on failure
   (GetRS232ErrorString); the last status is also kept per thread
   (ReturnRS232Err) and process-wide (rs232err). */
#ifndef KEZ_RS232_H
#define KEZ_RS232_H

#include <stddef.h>

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* Event bits of InstallComCallback's mask and of the words its callback
   receives. */
#define COM_EVENT_CHAR 0x0001          /* a character was received */
#define COM_EVENT_EVENT_CHAR 0x0002    /* the event character was received */
#define COM_EVENT_OUTPUT_EMPTY 0x0004  /* the output queue was emptied */
#define COM_EVENT_CTS 0x0008
#define COM_EVENT_DSR 0x0010
#define COM_EVENT_DCD 0x0020
#define COM_EVENT_BREAK 0x0040
#define COM_EVENT_LINE_ERROR 0x0080
#define COM_EVENT_RING 0x0100
#define COM_EVENT_RECEIVE_COUNT 0x8000 /* the input count reached the notify count */

/* GetComStat bits (cleared when read). */
#define COM_STAT_PARITY 16
#define COM_STAT_OVERRUN 32
#define COM_STAT_FRAMING 64
#define COM_STAT_BREAK 128

/* GetComLineStatus bits. */
#define COM_LINE_CTS 16
#define COM_LINE_DSR 32
#define COM_LINE_RING 64
#define COM_LINE_DCD 128

typedef void (*ComCallbackPtr)(int portNumber, int eventMask, void *callbackData);

KEZ_API int OpenCom(int portNumber, const char *deviceName);
KEZ_API int OpenComConfig(int portNumber, const char *deviceName, int baudRate, int parity, int dataBits,
                          int stopBits, int inputQueueSize, int outputQueueSize);
KEZ_API int CloseCom(int portNumber);

KEZ_API int ComRd(int portNumber, char *buffer, size_t count);
KEZ_API int ComRdByte(int portNumber);
KEZ_API int ComRdTerm(int portNumber, char *buffer, int maximumCount, int terminationByte);
KEZ_API int ComWrt(int portNumber, const char *buffer, size_t count);
KEZ_API int ComWrtByte(int portNumber, int byte);
KEZ_API int ComToFile(int portNumber, int fileHandle, int count, int terminationByte);
KEZ_API int ComFromFile(int portNumber, int fileHandle, int count, int terminationByte);

KEZ_API int ComBreak(int portNumber, int breakTimeMs);
KEZ_API int ComSetEscape(int portNumber, int escapeCode);
KEZ_API int FlushInQ(int portNumber);
KEZ_API int FlushOutQ(int portNumber);
KEZ_API int GetInQLen(int portNumber);
KEZ_API int GetOutQLen(int portNumber);
KEZ_API int GetComStat(int portNumber);
KEZ_API int GetComLineStatus(int portNumber);
KEZ_API int GetComConnectionState(int portNumber);
KEZ_API int GetSystemComHandle(int portNumber, int *systemHandle);
KEZ_API int SetComTime(int portNumber, double timeoutSeconds);
KEZ_API int SetXMode(int portNumber, int on);
KEZ_API int SetCTSMode(int portNumber, int mode);
KEZ_API int InstallComCallback(int portNumber, int eventMask, int notifyCount, int eventCharacter,
                               ComCallbackPtr callback, void *callbackData);

KEZ_API int ReturnRS232Err(void);
KEZ_API int *_GetRs232Err(void);
#define rs232err (*_GetRs232Err())
KEZ_API int __GetComConfig(int portNumber, int *baudRate, int *parity, int *dataBits, int *stopBits,
                           int *inputQueueSize, int *outputQueueSize);
KEZ_API int __GetPortDefaults(int portNumber, int *baudRate, int *parity, int *dataBits, int *stopBits,
                              int *inputQueueSize, int *outputQueueSize, unsigned char *outputQueueEnabled);
KEZ_API const char *GetRS232ErrorString(int errorNumber);

/* XModem file transfer over an open port. */
KEZ_API int XModemConfig(int portNumber, double startDelay, int maximumTries, double waitPeriod, int packetSize);
KEZ_API int XModemSend(int portNumber, const char *fileName);
KEZ_API int XModemReceive(int portNumber, const char *fileName);
KEZ_API int __SetXModemFlushesQs(int flag);

KEZ_END_DECLS

#endif
