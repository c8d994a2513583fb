// Internal-fault reports. Everything here runs on the faulting thread's stack:
// no heap, no stdio, no Python, then abort().
#include "quorvane/fault.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "kernel_support.hpp"

namespace quorvane {

namespace {

constexpr std::string_view kBacktraceVariable = "QUORVANE_BACKTRACE";

std::atomic<bool> g_fault_reported{false};

// The decimal digits of `value`, written at the end of `digits`.
std::string_view format_decimal(char (&digits)[20], std::uint64_t value) {
    std::size_t count = 0;
    do {
        digits[sizeof digits - 1 - count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return {digits + sizeof digits - count, count};
}

void write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Collects the report in a stack buffer and writes it to standard error in
// one piece when it fits, in 512-byte pieces otherwise.
class Report {
public:
    Report() = default;
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;
    ~Report() { flush(); }

    Report& text(std::string_view part) {
        while (!part.empty()) {
            if (length_ == sizeof buffer_) flush();
            const std::size_t room = sizeof buffer_ - length_;
            const std::size_t taken = part.size() < room ? part.size() : room;
            std::memcpy(buffer_ + length_, part.data(), taken);
            length_ += taken;
            part.remove_prefix(taken);
        }
        return *this;
    }

    Report& decimal(std::uint64_t value) {
        char digits[20];
        return text(format_decimal(digits, value));
    }

    Report& hex(std::uintptr_t value) {
        char digits[2 + 2 * sizeof value];
        std::size_t count = 0;
        do {
            digits[sizeof digits - 1 - count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        digits[sizeof digits - 1 - count++] = 'x';
        digits[sizeof digits - 1 - count++] = '0';
        return text({digits + sizeof digits - count, count});
    }

    void flush() {
        write_all(STDERR_FILENO, buffer_, length_);
        length_ = 0;
    }

private:
    char buffer_[512];
    std::size_t length_ = 0;
};

bool backtrace_requested() {
    const char* value = std::getenv(kBacktraceVariable.data());
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

struct Unwinding {
    Report* report;
    unsigned frame;
};

constexpr unsigned kMaxFrames = 128;

_Unwind_Reason_Code print_frame(struct _Unwind_Context* context, void* argument) {
    auto& unwinding = *static_cast<Unwinding*>(argument);
    const auto address = static_cast<std::uintptr_t>(_Unwind_GetIP(context));
    if (address == 0) return _URC_END_OF_STACK;

    Report& report = *unwinding.report;
    const unsigned frame = unwinding.frame++;
    report.text(frame < 10 ? "   " : frame < 100 ? "  " : " ").decimal(frame).text(": ").hex(address);

    Dl_info info{};
    // The return address points past the call; look up the call itself.
    if (::dladdr(reinterpret_cast<void*>(address - 1), &info) != 0) {
        if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
            report.text(" ").text(info.dli_sname);
            report.text("+").hex(address - reinterpret_cast<std::uintptr_t>(info.dli_saddr));
        }
        if (info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
            // The offset inside the object, for symbolisers.
            report.text(" (").text(info.dli_fname);
            report.text("+").hex(address - reinterpret_cast<std::uintptr_t>(info.dli_fbase));
            report.text(")");
        }
    }
    report.text("\n");
    return unwinding.frame < kMaxFrames ? _URC_NO_REASON : _URC_NORMAL_STOP;
}

void print_backtrace(Report& report) {
    report.text("stack backtrace:\n");
    Unwinding unwinding{&report, 0};
    _Unwind_Backtrace(print_frame, &unwinding);
}

}  // namespace

void report_fault(std::string_view message, std::source_location where) {
    const bool first = !g_fault_reported.exchange(true);

    char thread_name[64];
    std::string_view thread = "<unnamed>";
    if (::pthread_getname_np(::pthread_self(), thread_name, sizeof thread_name) == 0 &&
        thread_name[0] != '\0') {
        thread = thread_name;
    }

    {
        Report report;
        report.text("quorvane: internal fault in thread '")
            .text(thread)
            .text("' at ")
            .text(where.file_name())
            .text(":")
            .decimal(where.line())
            .text(":")
            .decimal(where.column())
            .text(":\n")
            .text(message)
            .text("\n");
        if (backtrace_requested()) {
            print_backtrace(report);
        } else if (first) {
            report.text("note: set ").text(kBacktraceVariable).text("=1 to print a stack backtrace\n");
        }
    }
    std::abort();
}

void report_allocation_failure(std::size_t bytes) {
    {
        Report report;
        report.text("memory allocation of ").decimal(bytes).text(" bytes failed\n");
    }
    std::abort();
}

void detail::report_index_fault(std::size_t index, std::size_t length,
                                std::source_location where) {
    // "index out of bounds: the len is L but the index is I", on the stack.
    char text[96];
    std::size_t used = 0;
    auto put = [&](std::string_view part) {
        for (char ch : part) {
            if (used < sizeof text) text[used++] = ch;
        }
    };
    char digits[20];
    put("index out of bounds: the len is ");
    put(format_decimal(digits, length));
    put(" but the index is ");
    put(format_decimal(digits, index));
    report_fault({text, used}, where);
}

}  // namespace quorvane
