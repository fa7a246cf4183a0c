/* TCP library: servers, clients, reads and writes with time-outs, and event
   callbacks delivered on the thread that made the connection, while it
   processes events (ProcessSystemEvents) or waits in its own reads and
   writes. Every function returns 0 or a count on success and a negative
   code (0 to -21, GetTCPErrorString) on failure. */
#ifndef KEZ_TCP_H
#define KEZ_TCP_H

#include <stddef.h>

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

/* Event types passed to a TCP callback. */
#define TCP_CONNECT 1
#define TCP_DISCONNECT 2
#define TCP_DATAREADY 3

/* Disconnect modes (SetTCPDisconnectMode). */
#define TCP_DISCONNECT_AUTO 0
#define TCP_DISCONNECT_MANUAL 1

/* Error codes. */
#define kTCP_NoError 0
#define kTCP_UnableToRegisterService -1
#define kTCP_UnableToEstablishConnection -2
#define kTCP_ExistingServer -3
#define kTCP_FailedToConnect -4
#define kTCP_ServerNotRegistered -5
#define kTCP_TooManyConnections -6
#define kTCP_ReadFailed -7
#define kTCP_WriteFailed -8
#define kTCP_InvalidParameter -9
#define kTCP_OutOfMemory -10
#define kTCP_TimeOutErr -11
#define kTCP_NoConnectionEstablished -12
#define kTCP_GeneralIOErr -13
#define kTCP_ConnectionClosed -14
#define kTCP_UnableToLoadWinsockDLL -15
#define kTCP_IncorrectWinsockDLLVersion -16
#define kTCP_NetworkSubsystemNotReady -17
#define kTCP_ConnectionsStillOpen -18
#define kTCP_DisconnectPending -19
#define kTCP_InfoNotAvailable -20
#define kTCP_HostAddressNotFound -21

/* (handle, event type, error code, callback data). */
typedef int (*tcpFuncPtr)(unsigned handle, int xType, int errCode, void *callbackData);

KEZ_API int RegisterTCPServer(unsigned int port, tcpFuncPtr callback, void *callbackData);
KEZ_API int RegisterTCPServerEx(unsigned int port, tcpFuncPtr callback, void *callbackData, const char *hostAddress);
KEZ_API int UnregisterTCPServer(unsigned int port);
KEZ_API int UnregisterTCPServerEx(unsigned int port, const char *hostAddress);
KEZ_API int ConnectToTCPServer(unsigned int *handle, unsigned int port, const char *serverHostName,
                               tcpFuncPtr callback, void *callbackData, unsigned int timeOut);
KEZ_API int ConnectToTCPServerEx(unsigned int *handle, unsigned int port, const char *serverHostName,
                                 tcpFuncPtr callback, void *callbackData, unsigned int timeOut,
                                 unsigned int clientPort);
KEZ_API int DisconnectFromTCPServer(unsigned int handle);
KEZ_API int DisconnectTCPClient(unsigned int handle);
KEZ_API int ClientTCPRead(unsigned int handle, void *dataBuffer, size_t dataSize, unsigned int timeOut);
KEZ_API int ServerTCPRead(unsigned int handle, void *dataBuffer, size_t dataSize, unsigned int timeOut);
KEZ_API int ClientTCPWrite(unsigned int handle, const void *dataPointer, size_t dataSize, unsigned int timeOut);
KEZ_API int ServerTCPWrite(unsigned int handle, const void *dataPointer, size_t dataSize, unsigned int timeOut);
KEZ_API int ProcessTCPEvents(void);
KEZ_API int SetTCPDisconnectMode(unsigned int handle, int mode);
KEZ_API int GetTCPHostName(char *buffer, size_t bufferSize);
KEZ_API int GetTCPHostAddr(char *buffer, size_t bufferSize);
/* Every IPv4 address of the local host as newly allocated dotted strings;
   free the array with TCPFreeMemory. */
KEZ_API int GetAllTCPHostAddresses(char ***addresses, int *numAddresses);
KEZ_API int GetTCPHostConnectionAddr(unsigned int handle, char *buffer, size_t bufferSize);
KEZ_API int GetTCPPeerAddr(unsigned int handle, char *buffer, size_t bufferSize);
KEZ_API int GetTCPPeerName(unsigned int handle, char *buffer, size_t bufferSize);
/* The connection's socket (a SOCKET on Windows, a descriptor on Linux), as
   size_t: the type of uintptr_t on every platform the engine runs on. */
KEZ_API int GetHostTCPSocketHandle(unsigned int handle, size_t *socketHandle);
KEZ_API void TCPFreeMemory(void *memoryPointer);
/* Closes every connection and stops the socket library; returns 0. */
KEZ_API int CloseWinsock(void);
/* The code's text in the thread's error-string buffer, or null outside 0..-21. */
KEZ_API char *GetTCPErrorString(int error);
/* The text of this thread's last socket error, which it then resets. */
KEZ_API char *GetTCPSystemErrorString(void);

KEZ_END_DECLS

#endif
