// Fmt, FmtOut, FmtFile, Scan, ScanIn and ScanFile: the entry points, the
// parameter table and the two drivers.
#include <climits>
#include <cstdarg>
#include <cstdlib>
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
        p = Param{nullptr, kUnlimited, 0, 0};
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

// An item of the format as the parameter-type pass saw it, the position
// after it, and its bound side.
struct Step {
    Item item;
    std::size_t end;
    Side side;
};

// The items of a call: on the stack for short formats, on the heap beyond.
class Steps final : public ItemSink {
public:
    Steps() = default;
    Steps(const Steps &) = delete;
    Steps &operator=(const Steps &) = delete;
    ~Steps() {
        if (data_ != local()) std::free(data_);
    }
    Item *reserve() override {
        if (count_ == capacity_) {
            const std::size_t grown = capacity_ * 4;
            auto *p = static_cast<Step *>(std::malloc(grown * sizeof(Step)));
            if (p == nullptr) return nullptr;
            std::memcpy(static_cast<void *>(p), data_, count_ * sizeof(Step));
            if (data_ != local()) std::free(data_);
            data_ = p;
            capacity_ = grown;
        }
        return &data_[count_].item;  // the side is bound later; every field is set then
    }
    void commit(std::size_t end) override { data_[count_++].end = end; }
    Step *begin() { return data_; }
    Step *end() { return data_ + count_; }
    std::size_t size() const { return count_; }

private:
    Step *local() { return reinterpret_cast<Step *>(local_); }
    alignas(Step) unsigned char local_[8 * sizeof(Step)];
    Step *data_ = local();
    std::size_t count_ = 0;
    std::size_t capacity_ = 8;
};

// Binds the fixed side and every item before any data moves, so that an
// illegal value leaves every target as it was: -1 and the position after
// the offending item, or 0.
int bind_items(Call &call, Steps &steps, Step *first, Side &fixed, std::size_t *position) {
    const bool formatting = call.direction == Direction::formatting;
    const Role item_role = formatting ? Role::source : Role::target;
    const Specifier *fixed_conversion = first != steps.begin() ? &steps.begin()->item.conversion : nullptr;
    *position = first != steps.begin() ? steps.begin()->end : 0;
    if (!bind_side(call, fixed_conversion, formatting ? Role::target : Role::source, true, fixed)) return kIllegal;
    call.comma_line = !formatting && fixed.conversion->line_form == Specifier::comma_line;
    for (Step *step = first; step != steps.end(); ++step) {
        *position = step->end;
        bool ok = true;
        if (step->item.kind == Item::literal) {
            ok = fixed.is_text();
        } else {
            Side &side = step->side;
            if (!bind_side(call, &step->item.conversion, item_role, false, side)) return kIllegal;
            if (formatting) {
                ok = conversion_is_bounded(call, side, fixed) && (fixed.is_text() || step->item.conversion.join == 0);
            } else {
                ok = conversion_is_bounded(call, fixed, side) && step->item.conversion.line_form == Specifier::not_line;
            }
        }
        if (!ok) {
            call.illegal_param = 0;
            return kIllegal;
        }
    }
    return 0;
}

int run_formatting(Call &call, Step *first, Step *last, Side &target) {
    if (!attach_side(call, target)) return kFatal;
    int result = 0;
    for (Step *step = first; step != last; ++step) {
        call.status = Status::ok;
        if (step->item.kind == Item::literal) {
            put_literal(call, target, step->item.text, step->item.length);
        } else {
            Side &source = step->side;
            if (!attach_side(call, source)) return kFatal;
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

int run_scanning(Call &call, Step *first, Step *last, Side &source) {
    if (!attach_side(call, source)) return kFatal;
    int result = 0;
    for (Step *step = first; step != last; ++step) {
        call.status = Status::ok;
        if (step->item.kind == Item::literal) {
            match_literal(call, source, step->item.text, step->item.length);
        } else {
            Side &target = step->side;
            if (!attach_side(call, target)) return kFatal;
            // A text target takes units until the source has no more; with
            // a text source too, it takes one string.
            std::uint64_t units = target.is_text() ? (source.is_text() ? 1 : kUnlimited) : target.units;
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
    Steps steps;
    const ParseResult parsed = generate_arg_types(format, call.length, &types, request.direction, &steps);
    if (!parsed.ok && parsed.error_code == 0) return kFatal;  // no memory for the items
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

    Step *first = steps.begin() + (call.fixed_explicit ? 1 : 0);
    Side fixed;
    std::size_t position = 0;
    int result = bind_items(call, steps, first, fixed, &position);
    if (result == 0) {
        result = request.direction == Direction::formatting ? run_formatting(call, first, steps.end(), fixed)
                                                            : run_scanning(call, first, steps.end(), fixed);
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
