#include "core/messages.h"

namespace kez::core {
namespace {

struct Message {
    int number;
    const char *text;
};

// Sorted by number. Texts are exact, including the two blanks after some
// full stops.
constexpr Message kMessages[] = {
    // Variable-argument checks.
    {106, "Invalid argument type: found '%t', expected '%t'."},
    {107, "Missing argument to variable argument function."},
    {108, "Too many arguments to variable argument function."},
    // Checks of library arguments.
    {165, "Null pointer argument to library function."},
    // Format errors and checks of the formatting library and the C library.
    {206, "Illegal separator character or illegal position of separator character."},
    {207, "Missing format string integer."},
    {208, "Number of arguments exceed the maximum supported."},
    {209, "Format string integer is too big."},
    {210, "Repeat value not valid with s/l format specifiers."},
    {211, "l format specifier not valid in Fmt/FmtOut/FmtFile."},
    {212, "Missing right bracket (])."},
    {213, "b modifier must precede o modifier."},
    {214, "Invalid size for an integer."},
    {215, "d modifier not valid in Fmt/FmtOut/FmtFile."},
    {216, "Byte ordering is invalid."},
    {217, "z modifier only valid if rep is present."},
    {218, "Unknown modifier."},
    {219, "Unexpected end of format string."},
    {220, "c modifier valid only with l format specifier."},
    {221, "w modifier not valid with l format specifier."},
    {222, "Invalid size for a real."},
    {223, "Unknown specifier."},
    {224, "h modifier is only valid with d, i, n, o, u, and x specifiers."},
    {225, "l modifier is only valid with e, f, g, d, i, n, o, u, and x specifiers."},
    {226, "L modifier is only valid with e, f, and g specifiers."},
    {227, "l modifier is only valid with d, i, n, o, u, and x specifiers."},
    {228, "I64 modifier is only valid with d, i, n, o, u, and x specifiers."},
    {229, "# flag is valid only with o, x, e, f, and g specifiers."},
    {230, "0 flag is not valid with c, s, p, and n modifiers."},
    {231, "Reference parameter expected."},
    {232, "Value parameter expected."},
    {233, "Uninitialized string."},
    {234, "Parameter type incompatible with format specifier."},
    {235, "Too many parameters."},
    {236, "Not enough parameters or invalid parameter type."},
    {237, "Simple/Array conflict with format specifier."},
    {238, "Attempt to write beyond end of array."},
    {239, "Attempt to write beyond end of string."},
    {240, "Parameter matched to '*' must be an integer."},
    {241, "Attempt to read beyond end of array."},
    {242, "Attempt to read beyond end of string."},
    {243, "'z' modifier required to match string parameter."},
    {244, "Specified width is too small to read the number."},
    {245, "Valid integer not found."},
    {246, "Overflow occurred during the conversion of the int. The absolute value is too big for the size."},
    {247, "Overflow occurred during the conversion of the int. The signed value is too big for the size."},
    {248, "Overflow occurred during the conversion of the float. The number is too big for type float."},
    {249, "Maximum field width has been exceeded."},
    {250, "Negative field width specified."},
    {251, "Valid floating point number not found."},
    {252, "Uninitialized pointer."},
    {253, "Pointer is invalid."},
    {254, "Pointer points to freed memory."},
    {255, "Null pointer."},
    {256, "Illegal value matched to asterisk."},
    {257, "Error at or near character %d in the format string."},
    {258, "Error at or near character %d in the format string: %s"},
    {259, "Parameter type mismatch; expecting %s %s but found %s %s."},
    {453, "j modifier is only valid with d, i, n, o, u, and x specifiers."},
    {454, "z and t modifiers are only valid with d, i, n, o, u, x, and X specifiers."},
    {460, "hh modifier is only valid with d, i, n, o, u, and x specifiers."},
    // UDP library (its codes are the negated numbers).
    {6800, "Invalid channel"},
    {6801, "Invalid port number"},
    {6802, "Invalid address"},
    {6803, "The write size specified exceeds the maximum datagram size supported on this platform."},
    {6804, "Invalid argument passed"},
    {6805, "Null pointer passed when a non-null pointer was expected"},
    {6806, "Invalid attribute"},
    {6807, "Invalid attribute value"},
    {6808, "Timeout expired"},
    {6809, "The received data was too large for the buffer. Some data was lost."},
    {6810, "The channel has been disposed"},
    {6811, "The port has already been reserved for exclusive use on this interface."},
    {6812, "A network error occurred"},
    {6813, "Host address was not found"},
    {6814, "Invalid multicast address. Valid multicast addresses range from 224.0.0.0 to 239.255.255.255"},
    {6815, "This port or another port on the same interface is already subscribed to that multicast group."},
    {6816, "The port is already subscribed to that source for the multicast group."},
    {6817, "The port is not subscribed to the multicast group."},
    {6818, "The port is not subscribed to that source for the multicast group."},
    {6819, "The Windows Sockets library could not be loaded."},
    {6820, "Failed to initialize the library"},
    {6821, "Library is shutting down"},
    {6822, "A Windows Sockets function call returned an unexpected error."},
    {6823, "The operation is not supported on this platform."},
    {6824, "General system error"},
    {6825, "Out of memory"},
    {6826, "Out of system resources"},
    {6827, "Internal error"},
    {6828, "Reserved UDP Library Error"},
    {6829, "Reserved UDP Library Error"},
    {6830, "Reserved UDP Library Error"},
    {6831, "Reserved UDP Library Error"},
    {6832, "Reserved UDP Library Error"},
    {6833, "Reserved UDP Library Error"},
    {6834, "Reserved UDP Library Error"},
    {6835, "Reserved UDP Library Error"},
    {6836, "Reserved UDP Library Error"},
    {6837, "Reserved UDP Library Error"},
    {6838, "Reserved UDP Library Error"},
    {6839, "Reserved UDP Library Error"},
    {6840, "Reserved UDP Library Error"},
    {6841, "Reserved UDP Library Error"},
    {6842, "Reserved UDP Library Error"},
    {6843, "Reserved UDP Library Error"},
    {6844, "Reserved UDP Library Error"},
    {6845, "Reserved UDP Library Error"},
    {6846, "Reserved UDP Library Error"},
    {6847, "Reserved UDP Library Error"},
    {6848, "Reserved UDP Library Error"},
    // Multithreading library (its status codes are the negated numbers).
    {14900, "Invalid status code."},
    {14901, "Invalid handle."},
    {14902, "Invalid parameter."},
    {14903, "Invalid attribute ID."},
    {14904, "Invalid event ID."},
    {14905, "Out of memory."},
    {14906, "The time limit expired."},
    {14907, "Another callback is registered for this event (you can only register one callback per event)."},
    {14908, "Invalid callback ID."},
    {14909, "Invalid thread ID."},
    {14910, "System error occurred."},
    {14911, "This thread or another thread is currently reading from the thread safe queue."},
    {14912, "This thread or another thread is currently writing to the thread safe queue."},
    {14913, "The thread safe queue is full."},
    {14914, "The thread safe queue is empty."},
    {14915, "You read more data than was available in the thread safe queue."},
    {14916,
     "You wrote more data than space was available in the thread safe queue (memory outside the queue might have "
     "been overwritten, putting your system in an unstable state)."},
    {14917,
     "The thread safe queue is configured to automatically flush when full.  You cannot write more items to it than "
     "it can hold."},
    {14918, "This type of access to the queue is not permitted."},
    {14919, "The thread currently holding the write pointer cannot resize the thread safe queue."},
    {14920, "You must release the pointer from the same thread that got it."},
    {14921, "You cannot set this attribute while threads exist in the thread pool."},
    {14922, "Invalid thread priority."},
    {14923, "Invalid function ID."},
    {14924,
     "The function ID you passed is owned by the thread pool.  This operation can only be performed on a function ID "
     "that you own."},
    {14925, "The function attribute is not available at this time."},
    {14926, "You can only perform this operation on a thread pool thread."},
    {14927, "You cannot perform this operation on the default thread pool."},
    {14928, "You cannot reduce the maximum number of threads in the thread pool."},
    {14929, "You must release the thread safe variable from the same thread that got it."},
    {14930, "You must release the lock from the same thread that got it."},
    {14931, "You cannot discard a lock that is still owned."},
    {14932, "You must get the lock before releasing it."},
    {14933, "Invalid status code."},
};

}  // namespace

const char *message_text(int number) {
    int lo = 0;
    int hi = static_cast<int>(sizeof kMessages / sizeof kMessages[0]) - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        if (kMessages[mid].number == number) return kMessages[mid].text;
        if (kMessages[mid].number < number)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return nullptr;
}

}  // namespace kez::core
