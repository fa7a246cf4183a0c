/* The engine's serial VISA component: types, constants and entry points.
 *
 * Binary compatible with the VISA library ABI on 64-bit Windows and Linux:
 * sessions, statuses and 32-bit values are 32 bits wide, attribute values
 * (ViAttrState) 64 bits. On x86-64 there is one calling convention, so the
 * entry points carry no convention keyword.
 */
#ifndef KEZ_VISA_H
#define KEZ_VISA_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
typedef unsigned long ViUInt32;
typedef signed long ViInt32;
#else
typedef unsigned int ViUInt32;
typedef signed int ViInt32;
#endif
typedef unsigned long long ViUInt64;
typedef signed long long ViInt64;
typedef unsigned short ViUInt16;
typedef signed short ViInt16;
typedef unsigned char ViUInt8;
typedef signed char ViInt8;
typedef char ViChar;
typedef unsigned char ViByte;
typedef void *ViAddr;
typedef ViUInt16 ViBoolean;
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject ViSession;
typedef ViObject ViEvent;
typedef ViObject ViFindList;
typedef ViUInt32 ViAttr;
typedef ViUInt32 ViEventType;
typedef ViUInt32 ViEventFilter;
typedef ViUInt32 ViAccessMode;
typedef ViUInt32 ViJobId;
typedef ViUInt16 ViUInt16Mask;
#if defined(_WIN64) || defined(__LP64__) || defined(__x86_64__)
typedef ViUInt64 ViAttrState;
typedef ViUInt64 ViBusSize;
#else
typedef ViUInt32 ViAttrState;
typedef ViUInt32 ViBusSize;
#endif
typedef ViChar *ViString;
typedef const ViChar *ViConstString;
typedef ViString ViRsrc;
typedef ViConstString ViConstRsrc;
typedef ViString ViKeyId;
typedef ViConstString ViConstKeyId;
typedef ViByte *ViBuf;
typedef const ViByte *ViConstBuf;
typedef ViSession *ViPSession;
typedef ViFindList *ViPFindList;
typedef ViUInt32 *ViPUInt32;
typedef ViUInt16 *ViPUInt16;
typedef ViEvent *ViPEvent;
typedef ViEventType *ViPEventType;
typedef ViJobId *ViPJobId;
typedef ViStatus (*ViHndlr)(ViSession vi, ViEventType eventType, ViEvent event, ViAddr userHandle);

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0
#define VI_FIND_BUFLEN 256
#define VI_TMO_IMMEDIATE 0UL
#define VI_TMO_INFINITE 0xFFFFFFFFUL
#define VI_ANY_HNDLR 0

/* Access modes. */
#define VI_NO_LOCK 0
#define VI_EXCLUSIVE_LOCK 1
#define VI_SHARED_LOCK 2
#define VI_LOAD_CONFIG 4

/* Event mechanisms. */
#define VI_QUEUE 1
#define VI_HNDLR 2
#define VI_SUSPEND_HNDLR 4
#define VI_ALL_MECH 0xFFFF

/* Buffer masks for viSetBuf and viFlush. */
#define VI_READ_BUF 1
#define VI_WRITE_BUF 2
#define VI_READ_BUF_DISCARD 4
#define VI_WRITE_BUF_DISCARD 8
#define VI_IO_IN_BUF 16
#define VI_IO_OUT_BUF 32
#define VI_IO_IN_BUF_DISCARD 64
#define VI_IO_OUT_BUF_DISCARD 128

#define VI_TRIG_PROT_DEFAULT 0
#define VI_INTF_ASRL 4
#define VI_PROT_NORMAL 1
#define VI_FLUSH_ON_ACCESS 1
#define VI_FLUSH_WHEN_FULL 2
#define VI_FLUSH_DISABLE 3

#define VI_ASRL_PAR_NONE 0
#define VI_ASRL_PAR_ODD 1
#define VI_ASRL_PAR_EVEN 2
#define VI_ASRL_PAR_MARK 3
#define VI_ASRL_PAR_SPACE 4
#define VI_ASRL_STOP_ONE 10
#define VI_ASRL_STOP_ONE5 15
#define VI_ASRL_STOP_TWO 20
#define VI_ASRL_FLOW_NONE 0
#define VI_ASRL_FLOW_XON_XOFF 1
#define VI_ASRL_FLOW_RTS_CTS 2
#define VI_ASRL_FLOW_DTR_DSR 4
#define VI_ASRL_END_NONE 0
#define VI_ASRL_END_LAST_BIT 1
#define VI_ASRL_END_TERMCHAR 2
#define VI_ASRL_END_BREAK 3
#define VI_STATE_ASSERTED 1
#define VI_STATE_UNASSERTED 0
#define VI_STATE_UNKNOWN (-1)

/* Completion and warning codes. */
#define VI_SUCCESS 0L
#define VI_SUCCESS_EVENT_EN 0x3FFF0002L
#define VI_SUCCESS_EVENT_DIS 0x3FFF0003L
#define VI_SUCCESS_QUEUE_EMPTY 0x3FFF0004L
#define VI_SUCCESS_TERM_CHAR 0x3FFF0005L
#define VI_SUCCESS_MAX_CNT 0x3FFF0006L
#define VI_WARN_QUEUE_OVERFLOW 0x3FFF000CL
#define VI_SUCCESS_QUEUE_NEMPTY 0x3FFF0080L
#define VI_WARN_NULL_OBJECT 0x3FFF0082L
#define VI_WARN_NSUP_ATTR_STATE 0x3FFF0084L
#define VI_WARN_UNKNOWN_STATUS 0x3FFF0085L
#define VI_WARN_NSUP_BUF 0x3FFF0088L

/* Error codes (negative as ViStatus). */
#define KEZ_VI_ERR(n) ((ViStatus)(0xBFFF0000UL + (n)))
#define VI_ERROR_SYSTEM_ERROR KEZ_VI_ERR(0x00)
#define VI_ERROR_INV_OBJECT KEZ_VI_ERR(0x0E)
#define VI_ERROR_INV_SESSION KEZ_VI_ERR(0x0E)
#define VI_ERROR_RSRC_LOCKED KEZ_VI_ERR(0x0F)
#define VI_ERROR_INV_EXPR KEZ_VI_ERR(0x10)
#define VI_ERROR_RSRC_NFOUND KEZ_VI_ERR(0x11)
#define VI_ERROR_INV_RSRC_NAME KEZ_VI_ERR(0x12)
#define VI_ERROR_INV_ACC_MODE KEZ_VI_ERR(0x13)
#define VI_ERROR_TMO KEZ_VI_ERR(0x15)
#define VI_ERROR_CLOSING_FAILED KEZ_VI_ERR(0x16)
#define VI_ERROR_INV_DEGREE KEZ_VI_ERR(0x1B)
#define VI_ERROR_INV_JOB_ID KEZ_VI_ERR(0x1C)
#define VI_ERROR_NSUP_ATTR KEZ_VI_ERR(0x1D)
#define VI_ERROR_NSUP_ATTR_STATE KEZ_VI_ERR(0x1E)
#define VI_ERROR_ATTR_READONLY KEZ_VI_ERR(0x1F)
#define VI_ERROR_INV_LOCK_TYPE KEZ_VI_ERR(0x20)
#define VI_ERROR_INV_EVENT KEZ_VI_ERR(0x26)
#define VI_ERROR_INV_MECH KEZ_VI_ERR(0x27)
#define VI_ERROR_HNDLR_NINSTALLED KEZ_VI_ERR(0x28)
#define VI_ERROR_INV_HNDLR_REF KEZ_VI_ERR(0x29)
#define VI_ERROR_INV_CONTEXT KEZ_VI_ERR(0x2A)
#define VI_ERROR_QUEUE_OVERFLOW KEZ_VI_ERR(0x2D)
#define VI_ERROR_NENABLED KEZ_VI_ERR(0x2F)
#define VI_ERROR_ABORT KEZ_VI_ERR(0x30)
#define VI_ERROR_INV_SETUP KEZ_VI_ERR(0x3A)
#define VI_ERROR_ALLOC KEZ_VI_ERR(0x3C)
#define VI_ERROR_INV_MASK KEZ_VI_ERR(0x3D)
#define VI_ERROR_IO KEZ_VI_ERR(0x3E)
#define VI_ERROR_NSUP_OPER KEZ_VI_ERR(0x67)
#define VI_ERROR_ASRL_PARITY KEZ_VI_ERR(0x6A)
#define VI_ERROR_ASRL_FRAMING KEZ_VI_ERR(0x6B)
#define VI_ERROR_ASRL_OVERRUN KEZ_VI_ERR(0x6C)
#define VI_ERROR_RSRC_BUSY KEZ_VI_ERR(0x72)
#define VI_ERROR_INV_PARAMETER KEZ_VI_ERR(0x78)
#define VI_ERROR_INV_PROT KEZ_VI_ERR(0x79)
#define VI_ERROR_INV_SIZE KEZ_VI_ERR(0x7B)
#define VI_ERROR_NIMPL_OPER KEZ_VI_ERR(0x81)
#define VI_ERROR_INV_LENGTH KEZ_VI_ERR(0x83)
#define VI_ERROR_SESN_NLOCKED KEZ_VI_ERR(0x9C)
#define VI_ERROR_LIBRARY_NFOUND KEZ_VI_ERR(0x9E)
#define VI_ERROR_NSUP_MECH KEZ_VI_ERR(0xA4)
#define VI_ERROR_CONN_LOST KEZ_VI_ERR(0xA6)

/* Attributes. */
#define VI_ATTR_RSRC_CLASS 0xBFFF0001UL
#define VI_ATTR_RSRC_NAME 0xBFFF0002UL
#define VI_ATTR_RSRC_IMPL_VERSION 0x3FFF0003UL
#define VI_ATTR_RSRC_LOCK_STATE 0x3FFF0004UL
#define VI_ATTR_MAX_QUEUE_LENGTH 0x3FFF0005UL
#define VI_ATTR_USER_DATA 0x3FFF0007UL
#define VI_ATTR_SEND_END_EN 0x3FFF0016UL
#define VI_ATTR_TERMCHAR 0x3FFF0018UL
#define VI_ATTR_TMO_VALUE 0x3FFF001AUL
#define VI_ATTR_IO_PROT 0x3FFF001CUL
#define VI_ATTR_ASRL_BAUD 0x3FFF0021UL
#define VI_ATTR_ASRL_DATA_BITS 0x3FFF0022UL
#define VI_ATTR_ASRL_PARITY 0x3FFF0023UL
#define VI_ATTR_ASRL_STOP_BITS 0x3FFF0024UL
#define VI_ATTR_ASRL_FLOW_CNTRL 0x3FFF0025UL
#define VI_ATTR_RD_BUF_OPER_MODE 0x3FFF002AUL
#define VI_ATTR_RD_BUF_SIZE 0x3FFF002BUL
#define VI_ATTR_WR_BUF_OPER_MODE 0x3FFF002DUL
#define VI_ATTR_WR_BUF_SIZE 0x3FFF002EUL
#define VI_ATTR_SUPPRESS_END_EN 0x3FFF0036UL
#define VI_ATTR_TERMCHAR_EN 0x3FFF0038UL
#define VI_ATTR_ASRL_AVAIL_NUM 0x3FFF00ACUL
#define VI_ATTR_ASRL_CTS_STATE 0x3FFF00AEUL
#define VI_ATTR_ASRL_DCD_STATE 0x3FFF00AFUL
#define VI_ATTR_ASRL_DISCARD_NULL 0x3FFF00B0UL
#define VI_ATTR_ASRL_DSR_STATE 0x3FFF00B1UL
#define VI_ATTR_ASRL_DTR_STATE 0x3FFF00B2UL
#define VI_ATTR_ASRL_END_IN 0x3FFF00B3UL
#define VI_ATTR_ASRL_END_OUT 0x3FFF00B4UL
#define VI_ATTR_ASRL_REPLACE_CHAR 0x3FFF00BEUL
#define VI_ATTR_ASRL_RI_STATE 0x3FFF00BFUL
#define VI_ATTR_ASRL_RTS_STATE 0x3FFF00C0UL
#define VI_ATTR_ASRL_XON_CHAR 0x3FFF00C1UL
#define VI_ATTR_ASRL_XOFF_CHAR 0x3FFF00C2UL
#define VI_ATTR_INTF_TYPE 0x3FFF0171UL
#define VI_ATTR_INTF_NUM 0x3FFF0176UL
#define VI_ATTR_ASRL_CONNECTED 0x3FFF01BBUL
#define VI_ATTR_ASRL_BREAK_STATE 0x3FFF01BCUL
#define VI_ATTR_ASRL_BREAK_LEN 0x3FFF01BDUL
#define VI_ATTR_ASRL_ALLOW_TRANSMIT 0x3FFF01BEUL
#define VI_ATTR_ASRL_WIRE_MODE 0x3FFF01BFUL
#define VI_ATTR_INTF_INST_NAME 0xBFFF00E9UL
/* Event context attributes. */
#define VI_ATTR_EVENT_TYPE 0x3FFF4010UL
#define VI_ATTR_STATUS 0x3FFF4025UL
#define VI_ATTR_RET_COUNT 0x3FFF4026UL
#define VI_ATTR_OPER_NAME 0xBFFF4042UL

/* Events. */
#define VI_EVENT_IO_COMPLETION 0x3FFF2009UL
#define VI_EVENT_CLEAR 0x3FFF200DUL
#define VI_EVENT_EXCEPTION 0xBFFF200EUL
#define VI_EVENT_ASRL_BREAK 0x3FFF2023UL
#define VI_EVENT_ASRL_TERMCHAR 0x3FFF2024UL
#define VI_EVENT_ASRL_CTS 0x3FFF2029UL
#define VI_EVENT_ASRL_DSR 0x3FFF202AUL
#define VI_EVENT_ASRL_DCD 0x3FFF202CUL
#define VI_EVENT_ASRL_RI 0x3FFF202EUL
#define VI_EVENT_ASRL_CHAR 0x3FFF2035UL
#define VI_ALL_ENABLED_EVENTS 0x3FFF7FFFUL

/* The engine binds the entry points at run time and takes only the types
   and constants. */
#if !defined(KEZ_VISA_TYPES_ONLY)
#if defined(_WIN32)
#define KEZ_VISA_API __declspec(dllexport)
#else
#define KEZ_VISA_API __attribute__((visibility("default")))
#endif

KEZ_VISA_API ViStatus viOpenDefaultRM(ViPSession vi);
KEZ_VISA_API ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[]);
KEZ_VISA_API ViStatus viFindNext(ViFindList vi, ViChar desc[]);
KEZ_VISA_API ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi);
KEZ_VISA_API ViStatus viClose(ViObject vi);
KEZ_VISA_API ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue);
KEZ_VISA_API ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void *attrValue);
KEZ_VISA_API ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar desc[]);
KEZ_VISA_API ViStatus viTerminate(ViObject vi, ViUInt16 degree, ViJobId jobId);
KEZ_VISA_API ViStatus viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout, ViConstKeyId requestedKey,
                             ViChar accessKey[]);
KEZ_VISA_API ViStatus viUnlock(ViSession vi);
KEZ_VISA_API ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter context);
KEZ_VISA_API ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
KEZ_VISA_API ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
KEZ_VISA_API ViStatus viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout, ViPEventType outEventType,
                                    ViPEvent outContext);
KEZ_VISA_API ViStatus viInstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler, ViAddr userHandle);
KEZ_VISA_API ViStatus viUninstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler, ViAddr userHandle);
KEZ_VISA_API ViStatus viRead(ViSession vi, ViBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
KEZ_VISA_API ViStatus viReadAsync(ViSession vi, ViBuf buf, ViUInt32 cnt, ViPJobId jobId);
KEZ_VISA_API ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
KEZ_VISA_API ViStatus viWriteAsync(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPJobId jobId);
KEZ_VISA_API ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol);
KEZ_VISA_API ViStatus viReadSTB(ViSession vi, ViPUInt16 status);
KEZ_VISA_API ViStatus viClear(ViSession vi);
KEZ_VISA_API ViStatus viSetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size);
KEZ_VISA_API ViStatus viFlush(ViSession vi, ViUInt16 mask);
KEZ_VISA_API ViStatus viVPrintf(ViSession vi, ViConstString writeFmt, va_list params);
KEZ_VISA_API ViStatus viVScanf(ViSession vi, ViConstString readFmt, va_list params);

/* Test aid: raises an event of the given type (break, modem line change,
 * exception) on an open session, to its handlers and enabled queue as the
 * device would; `status` is the context's VI_ATTR_STATUS. */
KEZ_VISA_API ViStatus kezvisa_raise(ViSession vi, ViEventType eventType, ViStatus status);

#endif

#ifdef __cplusplus
}
#endif
#endif
