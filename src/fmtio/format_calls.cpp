// Fmt, FmtOut, FmtFile, Scan, ScanIn and ScanFile: the entry points, the
// parameter table and the two drivers.
#include <climits>
#include <cstdarg>
#include <cstring>

#include "fmtio/call_checks.h"
#include "fmtio/file_table.h"
#include "fmtio/fmtio_library.h"
#include "fmtio/format_engine.h"
#include "kez/formatio.h"
#include "os/fault.h"

namespace kez::fmtio {
namespace {

constexpr int kIllegal = -1;
constexpr int kFatal = -2;

struct Request {
    Direction direction;
    void *memory = nullptr;  // Fmt's target, Scan's source
    int handle = -1;         // the file calls
    CallChecks *checks = nullptr;
};

// By-value sources live here so that they have an address.
struct Scratch {
    alignas(8) unsigned char slot[kMaxSlots][8];
};

// Reads the variable arguments in slot order. The fixed side's data slot
// is the fixed parameter, never a variable argument.
void read_arguments(Call &call, const ArgTypes &types, const Request &request, Scratch &scratch, va_list args) {
    const bool formatting = request.direction == Direction::formatting;
    for (int slot = call.fixed_explicit ? 1 : 0; slot < types.count; ++slot) {
        const ArgType &a = types.slots[slot];
        Param &p = call.params[slot];
        p.number = request.checks != nullptr ? request.checks->slot_argument(slot, call.fixed_explicit) : 0;
        if (a.is_asterisk) {
            p.value = va_arg(args, int);
        } else if (formatting && !a.is_array && a.kind != SpecKind::string) {
            long long v = 0;
            if (a.kind == SpecKind::real) {
                const double d = va_arg(args, double);
                std::memcpy(scratch.slot[slot], &d, 8);
            } else {
                v = a.size == 8 ? va_arg(args, long long) : va_arg(args, int);
                std::memcpy(scratch.slot[slot], &v, 8);
            }
            p.pointer = scratch.slot[slot];
            p.known = 8;
        } else {
            p.pointer = va_arg(args, void *);
            if (request.checks != nullptr) p.known = request.checks->known_size(p.number);
        }
    }
}

void report_illegal(Call &call, std::size_t position) {
    if (call.checks == nullptr) return;
    const int message = call.illegal_param != 0 ? call.illegal_message : 257;
    call.checks->illegal_value(message, call.illegal_param, position);
}

// The first item: the fixed side when it says so, else a plain string and
// the item is the first of the other side.
const Specifier *fixed_specifier(Tokeniser &t, const Item *&first) {
    first = &t.next();
    if (first->kind == Item::specifier && first->spec.fixed) {
        const Specifier *s = &first->spec;
        first = nullptr;
        return s;
    }
    return nullptr;
}

// Checks every item's values before any data moves: -1 and the position
// after the offending item, or 0.
int check_items(Call &call, std::size_t *position) {
    Tokeniser t(call.format, call.length, call.direction);
    const Item *first = nullptr;
    const Specifier *fixed_spec = fixed_specifier(t, first);
    const Role fixed_role = call.direction == Direction::formatting ? Role::target : Role::source;
    const Role item_role = fixed_role == Role::target ? Role::source : Role::target;
    Side fixed;
    Specifier fixed_copy;
    if (fixed_spec != nullptr) fixed_copy = *fixed_spec;
    if (!bind_side(call, fixed_spec != nullptr ? &fixed_copy : nullptr, fixed_role, true, false, fixed)) {
        *position = t.position();
        return kIllegal;
    }
    call.comma_line = call.direction == Direction::scanning && fixed.spec->line_form == Specifier::comma_line;
    for (const Item *item = first != nullptr ? first : &t.next(); item->kind != Item::end; item = &t.next()) {
        *position = t.position();
        bool ok = true;
        if (item->kind == Item::literal) {
            ok = fixed.is_text();
        } else {
            Side side;
            if (!bind_side(call, &item->spec, item_role, false, false, side)) return kIllegal;
            if (call.direction == Direction::formatting) {
                ok = conversion_is_bounded(call, side, fixed) && (fixed.is_text() || item->spec.join == 0);
            } else {
                ok = conversion_is_bounded(call, fixed, side) && item->spec.line_form == Specifier::not_line;
            }
        }
        if (!ok) {
            call.illegal_param = 0;
            return kIllegal;
        }
    }
    return 0;
}

int run_formatting(Call &call) {
    Tokeniser t(call.format, call.length, call.direction);
    const Item *first = nullptr;
    const Specifier *fixed_spec = fixed_specifier(t, first);
    Specifier target_spec;
    if (fixed_spec != nullptr) target_spec = *fixed_spec;
    Side target;
    if (!bind_side(call, fixed_spec != nullptr ? &target_spec : nullptr, Role::target, true, true, target))
        return call.status == Status::fatal ? kFatal : kIllegal;
    int result = 0;
    for (const Item *item = first != nullptr ? first : &t.next(); item->kind != Item::end; item = &t.next()) {
        call.status = Status::ok;
        if (item->kind == Item::literal) {
            put_literal(call, target, item->text, item->length);
        } else {
            Side source;
            if (!bind_side(call, &item->spec, Role::source, false, true, source))
                return call.status == Status::fatal ? kFatal : kIllegal;
            std::uint64_t units = source.is_text() ? 1 : source.units;
            int item_result = 0;
            while (units > 0 && target.units > 0) {
                call.status = Status::ok;
                bool nothing = false;
                item_result |= convert_unit(call, source, target, &nothing);
                if (!(source.is_text() && !target.is_text()) && units != kUnlimited) --units;
                if (!target.is_text() && target.units != kUnlimited) --target.units;
                if (call.status != Status::ok || nothing) break;
            }
            if (call.status == Status::fatal) return kFatal;
            result += item_result;
        }
        if (call.status == Status::fatal) return kFatal;
        if (call.status == Status::target_full) break;
    }
    call.status = Status::ok;
    if (target.is_text()) {
        pad_target(call, target);
        if (call.out == nullptr) put_terminator(call, target);
        if (call.status == Status::fatal) return kFatal;
    }
    call.bytes = target.done;
    return result;
}

int run_scanning(Call &call) {
    Tokeniser t(call.format, call.length, call.direction);
    const Item *first = nullptr;
    const Specifier *fixed_spec = fixed_specifier(t, first);
    Specifier source_spec;
    if (fixed_spec != nullptr) source_spec = *fixed_spec;
    Side source;
    if (!bind_side(call, fixed_spec != nullptr ? &source_spec : nullptr, Role::source, true, true, source))
        return call.status == Status::fatal ? kFatal : kIllegal;
    call.comma_line = source.spec->line_form == Specifier::comma_line;
    int result = 0;
    for (const Item *item = first != nullptr ? first : &t.next(); item->kind != Item::end; item = &t.next()) {
        call.status = Status::ok;
        if (item->kind == Item::literal) {
            match_literal(call, source, item->text, item->length);
        } else {
            Side target;
            if (!bind_side(call, &item->spec, Role::target, false, true, target))
                return call.status == Status::fatal ? kFatal : kIllegal;
            std::uint64_t units = target.is_text() && !source.is_text() ? kUnlimited : target.units;
            if (target.is_text() && source.is_text()) units = 1;
            int item_result = 0;
            while (units > 0 && source.units > 0) {
                call.status = Status::ok;
                bool nothing = false;
                item_result |= convert_unit(call, source, target, &nothing);
                if (!source.is_text() && source.units != kUnlimited) --source.units;
                if (units != kUnlimited) --units;
                if (call.status != Status::ok || nothing) break;
            }
            if (call.status == Status::fatal) return kFatal;
            const Status status = call.status;
            if (target.is_text()) {
                put_terminator(call, target);
                if (call.status == Status::fatal) return kFatal;
                call.status = status;
            }
            result += item_result;
        }
        if (call.status == Status::fatal) return kFatal;
        if (call.status == Status::source_end) break;
    }
    call.status = Status::ok;
    drop_line_rest(call, source);
    if (call.status == Status::fatal) return kFatal;
    call.bytes = source.done;
    return result;
}

int run(const Request &request, const char *format, va_list args) {
    ThreadState *state = fault::hit("fmtio.thread_record") ? nullptr : thread_state();
    if (state == nullptr) return kFatal;
    state->bytes = 0;
    Call call;
    call.direction = request.direction;
    call.checks = request.checks;
    LockedFile locked;
    FileOutput out;
    if (request.handle >= 0) {
        if (const int error = lock_file(request.handle, &locked); error != 0) {
            set_error(error);
            return kFatal;
        }
        set_error(0);
        call.file = locked.entry();
        if (request.direction == Direction::formatting) {
            out.entry = call.file;
            call.out = &out;
        }
    } else {
        call.fixed.pointer = request.memory;
        call.fixed.number = 1;
        if (request.checks != nullptr) call.fixed.known = request.checks->known_size(1);
    }
    if (format == nullptr) {
        if (request.checks != nullptr) request.checks->null_format();
        state->error_index = 0;
        return kIllegal;
    }
    call.format = format;
    call.length = std::strlen(format);
    ArgTypes types;
    const ParseResult parsed = generate_arg_types(format, call.length, &types, request.direction);
    if (!parsed.ok) {
        state->error_index = static_cast<int>(parsed.error_index > INT_MAX ? INT_MAX : parsed.error_index);
        if (request.checks != nullptr) request.checks->format_error(parsed.error_index, parsed.error_code);
        return kIllegal;
    }
    state->error_index = -1;
    if (request.checks != nullptr && !request.checks->arguments(types)) return kIllegal;

    call.fixed_explicit = types.fixed_explicit;
    if (call.fixed_explicit) call.params[0] = call.fixed;
    Scratch scratch;
    read_arguments(call, types, request, scratch, args);

    std::size_t position = 0;
    int result = check_items(call, &position);
    if (result == 0) {
        result = request.direction == Direction::formatting ? run_formatting(call) : run_scanning(call);
        position = call.length;
    }
    if (call.out != nullptr && !flush_output(call) && result >= 0) {
        result = kFatal;
        call.bytes = 0;
    }
    if (result == kFatal && call.io_error != 0) set_error(call.io_error);
    if (result == kIllegal) {
        report_illegal(call, position);
        state->error_index = static_cast<int>(position > INT_MAX ? INT_MAX : position);
    }
    state->bytes = call.bytes;
    return result;
}

}  // namespace

int format_memory(void *target, const char *format, va_list args, CallChecks *checks) {
    Request r{Direction::formatting, target, -1, checks};
    return run(r, format, args);
}
int format_file(int handle, const char *format, va_list args, CallChecks *checks) {
    Request r{Direction::formatting, nullptr, handle, checks};
    return run(r, format, args);
}
int scan_memory(const void *source, const char *format, va_list args, CallChecks *checks) {
    Request r{Direction::scanning, const_cast<void *>(source), -1, checks};
    return run(r, format, args);
}
int scan_file(int handle, const char *format, va_list args, CallChecks *checks) {
    Request r{Direction::scanning, nullptr, handle, checks};
    return run(r, format, args);
}

}  // namespace kez::fmtio

namespace fmtio = kez::fmtio;

extern "C" int NumFmtdBytes(void) {
    const fmtio::ThreadState *s = fmtio::thread_state();
    if (s == nullptr) return 0;
    return s->bytes > INT_MAX ? INT_MAX : static_cast<int>(s->bytes);
}

extern "C" int GetFmtErrNdx(void) {
    const fmtio::ThreadState *s = fmtio::thread_state();
    return s == nullptr ? -1 : s->error_index;
}

#define KEZ_FMTIO_CALL(expr)      \
    va_list args;                 \
    va_start(args, format);       \
    const int result = (expr);    \
    va_end(args);                 \
    return result

extern "C" int Fmt(void *target, const char *format, ...) {
    KEZ_FMTIO_CALL(fmtio::format_memory(target, format, args, nullptr));
}
extern "C" int FmtOut(const char *format, ...) { KEZ_FMTIO_CALL(fmtio::format_file(1, format, args, nullptr)); }
extern "C" int FmtFile(int fileHandle, const char *format, ...) {
    KEZ_FMTIO_CALL(fmtio::format_file(fileHandle, format, args, nullptr));
}
extern "C" int Scan(const void *source, const char *format, ...) {
    KEZ_FMTIO_CALL(fmtio::scan_memory(source, format, args, nullptr));
}
extern "C" int ScanIn(const char *format, ...) { KEZ_FMTIO_CALL(fmtio::scan_file(0, format, args, nullptr)); }
extern "C" int ScanFile(int fileHandle, const char *format, ...) {
    KEZ_FMTIO_CALL(fmtio::scan_file(fileHandle, format, args, nullptr));
}

// The checked twins.
extern "C" int _UP_Fmt(void *target, const char *format, ...) {
    fmtio::CallChecks checks(fmtio::Direction::formatting, 1, 2);
    KEZ_FMTIO_CALL(fmtio::format_memory(target, format, args, &checks));
}
extern "C" int _UP_FmtOut(const char *format, ...) {
    fmtio::CallChecks checks(fmtio::Direction::formatting, 0, 1);
    KEZ_FMTIO_CALL(fmtio::format_file(1, format, args, &checks));
}
extern "C" int _UP_FmtFile(int fileHandle, const char *format, ...) {
    fmtio::CallChecks checks(fmtio::Direction::formatting, 0, 2);
    KEZ_FMTIO_CALL(fmtio::format_file(fileHandle, format, args, &checks));
}
extern "C" int _UP_Scan(const void *source, const char *format, ...) {
    fmtio::CallChecks checks(fmtio::Direction::scanning, 1, 2);
    KEZ_FMTIO_CALL(fmtio::scan_memory(source, format, args, &checks));
}
extern "C" int _UP_ScanIn(const char *format, ...) {
    fmtio::CallChecks checks(fmtio::Direction::scanning, 0, 1);
    KEZ_FMTIO_CALL(fmtio::scan_file(0, format, args, &checks));
}
extern "C" int _UP_ScanFile(int fileHandle, const char *format, ...) {
    fmtio::CallChecks checks(fmtio::Direction::scanning, 0, 2);
    KEZ_FMTIO_CALL(fmtio::scan_file(fileHandle, format, args, &checks));
}
