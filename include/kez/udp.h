/* UDP library: datagram channels on a local port, reads with time-outs,
   writes to any host, multicast groups, and a data callback delivered on the
   channel's thread while it processes events (ProcessSystemEvents). Every
   function returns 0 or a count on success and a negative code (-6800 to
   -6828, GetUDPErrorString) on failure. */
#ifndef KEZ_UDP_H
#define KEZ_UDP_H

#include <stddef.h>

#include "kez/kez_api.h"

KEZ_BEGIN_DECLS

#define UDP_DATAREADY 3
/* UDPRead time-outs. */
#define UDP_DO_NOT_WAIT 0
#define UDP_WAIT_FOREVER 0xFFFFFFFFu
/* The smallest source-address buffer UDPRead fills. */
#define UDP_ADDRESS_BUFFER_SIZE 16
#define UDP_ANY_ADDRESS 0

/* Channel attributes. */
#define ATTR_UDP_PORT 0
#define ATTR_UDP_CALLBACK 1
#define ATTR_UDP_CALLBACK_DATA 2
#define ATTR_UDP_MULTICAST_INTERFACE 3
#define ATTR_UDP_MULTICAST_TTL 4
#define ATTR_UDP_MULTICAST_LOOPBACK 5

/* Error codes. */
#define kUDP_InvalidChannel -6800
#define kUDP_InvalidPort -6801
#define kUDP_InvalidAddress -6802
#define kUDP_WriteSizeTooLarge -6803
#define kUDP_InvalidArgument -6804
#define kUDP_NullPointerPassed -6805
#define kUDP_InvalidAttribute -6806
#define kUDP_InvalidAttributeValue -6807
#define kUDP_TimeoutErr -6808
#define kUDP_ReceiveBufferTooSmall -6809
#define kUDP_ChannelDisposed -6810
#define kUDP_PortInUse -6811
#define kUDP_NetworkError -6812
#define kUDP_HostAddressNotFound -6813
#define kUDP_InvalidMulticastAddress -6814
#define kUDP_AlreadySubscribed -6815
#define kUDP_SourceAlreadySubscribed -6816
#define kUDP_NotSubscribed -6817
#define kUDP_SourceNotSubscribed -6818
#define kUDP_WinsockLoadFailed -6819
#define kUDP_InitializationFailed -6820
#define kUDP_LibraryShuttingDown -6821
#define kUDP_UnexpectedWinsockError -6822
#define kUDP_NotSupported -6823
#define kUDP_GeneralSystemError -6824
#define kUDP_OutOfMemory -6825
#define kUDP_OutOfSystemResources -6826
#define kUDP_InternalError -6827
#define kUDP_ResourceBusy -6828

/* (channel, event type, error code, callback data). */
typedef int (*UDPCallbackPtr)(unsigned channel, int eventType, int error, void *callbackData);

KEZ_API int CreateUDPChannel(unsigned int port, unsigned int *channel);
KEZ_API int CreateUDPChannelConfig(unsigned int port, const char *localAddress, int exclusive,
                                   UDPCallbackPtr callback, void *callbackData, unsigned int *channel);
KEZ_API int DisposeUDPChannel(unsigned int channel);
KEZ_API void DisposeAllUDPChannels(void);
KEZ_API int UDPRead(unsigned int channel, void *buffer, unsigned int bufferSize, unsigned int timeout,
                    unsigned int *sourcePort, char *sourceAddress);
KEZ_API int UDPWrite(unsigned int channel, unsigned int destinationPort, const char *destinationAddress,
                     const void *buffer, unsigned int bufferSize);
KEZ_API int UDPMulticastSubscribe(unsigned int channel, const char *multicastAddress, const char *sourceAddress);
KEZ_API int UDPMulticastUnsubscribe(unsigned int channel, const char *multicastAddress, const char *sourceAddress);
KEZ_API int GetUDPAttribute(unsigned int channel, int attribute, void *value);
KEZ_API int SetUDPAttribute(unsigned int channel, int attribute, ...);
/* Its user-protection twin. */
KEZ_API int _UP_SetUDPAttribute(unsigned int channel, int attribute, ...);
/* The channel's socket (a SOCKET on Windows, a descriptor on Linux), as
   size_t: the type of uintptr_t on every platform the engine runs on. */
KEZ_API int GetUDPSocketHandle(unsigned int channel, size_t *socketHandle);
KEZ_API const char *GetUDPErrorString(int error);

KEZ_END_DECLS

#endif
