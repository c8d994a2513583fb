// The four module functions. Each binds its arguments to the parameters of its
// row in functions.hpp, converts them in parameter order (a failure names the
// parameter by its index in the row), runs its own checks in their fixed
// order and then its kernel. Every failure travels up as an error value and
// is raised by the entry function, after the series taken so far were given
// back: they are locals, released in reverse order, the latest first.
#include "entries.hpp"

#include "arrays.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "numpy.hpp"

#include <quorvane/kernels.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace quorvane {

namespace {

ErrorValue invalid(const char* message) { return ErrorValue::fixed(PyExc_ValueError, message); }

// Raises a failed call's error; runs after the call's series were released.
PyObject* finish(Status status) {
    if (!status.ok()) {
        set_pending_error(status.take_error());
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

// The calling thread detached from the interpreter for the object's lifetime.
class Detached {
public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// Reads the series again, in parameter order, after code from outside this
// module ran since they were read: nothing the call uses may come from before.
template <class... Series>
Status refresh(Series&... series) {
    Status status = Status::success();
    (void)((status = series.refresh(), status.ok()) && ...);
    return status;
}

// An array the call reads or writes, by its parameter name.
struct NamedRun {
    std::string_view kind;  // "input" or "output"
    std::string_view parameter;
    InputRun run;
};

bool share_memory(InputRun a, InputRun b) {
    if (a.empty() || b.empty()) return false;
    const std::less<const std::byte*> before;
    return before(a.bytes(), b.bytes() + b.size() * sizeof(double)) &&
           before(b.bytes(), a.bytes() + a.size() * sizeof(double));
}

// An output may share no byte with an input or with an output before it: the
// kernels would read what they have just written. The last check of a call.
Status refuse_overlap(const NamedRun& output, std::initializer_list<NamedRun> earlier) {
    for (const NamedRun& other : earlier) {
        if (!share_memory(output.run, other.run)) continue;
        Text message("Output array '");
        message.append(output.parameter).append("' overlaps ").append(other.kind).append(" '");
        message.append(other.parameter).append("'");
        return ErrorValue::composed(PyExc_ValueError, std::move(message));
    }
    return Status::success();
}

Result<std::uint32_t> period_argument(PyObject* object, std::string_view parameter) {
    Result<std::uint32_t> period = extract_period(object);
    if (!period.ok()) return argument_error(parameter, period.take_error());
    return period;
}

using MovingAverage = void (*)(std::size_t, InputRun, OutputRun);

Status run_moving_average(const FunctionRow& row, MovingAverage kernel,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto names = row.parameters;
    std::array<PyObject*, std::size(average_parameters)> slots{};
    if (Status bound = bind_arguments(row.signature(), args, nargs, kwnames, slots); !bound.ok()) {
        return bound;
    }
    Result<std::uint32_t> period = period_argument(slots[0], names[0]);
    if (!period.ok()) return period.take_error();
    std::optional<InputSeries> data_series;
    if (Status done = extract_input_series(slots[1], names[1], data_series); !done.ok()) return done;
    std::optional<OutputSeries> output_series;
    if (Status done = extract_output_series(slots[2], names[2], output_series); !done.ok()) return done;
    InputSeries& data = *data_series;
    OutputSeries& output = *output_series;
    // Another module's registry may run any code while it takes the borrow.
    if (data.borrow_ran_outside_code()) {
        if (Status refreshed = refresh(data); !refreshed.ok()) return refreshed;
    }

    auto data_run = contiguous_run(data.view());
    if (!data_run) return invalid("Input array must be C-contiguous and float64");
    auto output_run = contiguous_run(output.view());
    if (!output_run) return invalid("Output array must be C-contiguous and float64");
    if (output_run->size() != data_run->size()) return invalid("Output array length must match input");
    if (!output.writeable()) return invalid("Output array is not writeable");
    if (Status apart = refuse_overlap({"output", names[2], *output_run},
                                      {{"input", names[1], *data_run}});
        !apart.ok()) {
        return apart;
    }

    Detached detached;
    kernel(period.value(), *data_run, *output_run);
    return Status::success();
}

Status run_macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto names = macd_row.parameters;
    std::array<PyObject*, std::size(macd_parameters)> slots{};
    if (Status bound = bind_arguments(macd_row.signature(), args, nargs, kwnames, slots);
        !bound.ok()) {
        return bound;
    }
    std::array<std::uint32_t, 3> periods{};
    for (std::size_t i = 0; i < periods.size(); ++i) {
        Result<std::uint32_t> period = period_argument(slots[i], names[i]);
        if (!period.ok()) return period.take_error();
        periods[i] = period.value();
    }
    const auto [fast_period, slow_period, signal_period] = periods;
    std::optional<InputSeries> data_series;
    if (Status done = extract_input_series(slots[3], names[3], data_series); !done.ok()) return done;
    std::optional<OutputSeries> macd_series;
    if (Status done = extract_output_series(slots[4], names[4], macd_series); !done.ok()) return done;
    std::optional<OutputSeries> signal_series;
    if (Status done = extract_output_series(slots[5], names[5], signal_series); !done.ok()) {
        return done;
    }
    std::optional<OutputSeries> hist_series;
    if (Status done = extract_output_series(slots[6], names[6], hist_series); !done.ok()) return done;
    InputSeries& data = *data_series;
    OutputSeries& macd = *macd_series;
    OutputSeries& signal = *signal_series;
    OutputSeries& hist = *hist_series;

    if (fast_period == 0 || slow_period == 0 || signal_period == 0) {
        return invalid("Periods must be greater than 0");
    }
    if (fast_period >= slow_period) return invalid("Fast period must be less than slow period");
    // The length queries run an array subclass's own __len__, which may say
    // anything and change any of the arrays. Their errors come out here; when
    // any query could have run Python code, the arrays are read again, so the
    // lengths checked are the ones the kernel uses. An exact ndarray's length
    // is NumPy's own C function, which changes nothing.
    bool ran_python = false;
    for (const OutputSeries* output : {&macd, &signal, &hist}) {
        ran_python = ran_python || !numpy::length_is_numpys_own(output->array());
        if (PyObject_Size(output->array()) < 0) return fetch_pending_error();
    }
    if (ran_python) {
        if (Status refreshed = refresh(data, macd, signal, hist); !refreshed.ok()) return refreshed;
    }
    const std::size_t n = data.view().size;
    for (const OutputSeries* output : {&macd, &signal, &hist}) {
        if (output->view().size != n) {
            return invalid("All output arrays must have the same length as input data");
        }
    }
    auto data_run = contiguous_run(data.view());
    if (!data_run) return invalid("Input array must be C-contiguous");
    auto macd_run = contiguous_run(macd.view());
    if (!macd_run) return invalid("MACD output array must be C-contiguous");
    auto signal_run = contiguous_run(signal.view());
    if (!signal_run) return invalid("Signal output array must be C-contiguous");
    auto hist_run = contiguous_run(hist.view());
    if (!hist_run) return invalid("Histogram output array must be C-contiguous");
    if (!macd.writeable()) return invalid("MACD output array is not writeable");
    if (!signal.writeable()) return invalid("Signal output array is not writeable");
    if (!hist.writeable()) return invalid("Histogram output array is not writeable");
    const NamedRun data_named{"input", names[3], *data_run};
    const NamedRun macd_named{"output", names[4], *macd_run};
    const NamedRun signal_named{"output", names[5], *signal_run};
    const NamedRun hist_named{"output", names[6], *hist_run};
    if (Status apart = refuse_overlap(macd_named, {data_named}); !apart.ok()) return apart;
    if (Status apart = refuse_overlap(signal_named, {data_named, macd_named}); !apart.ok()) {
        return apart;
    }
    if (Status apart = refuse_overlap(hist_named, {data_named, macd_named, signal_named});
        !apart.ok()) {
        return apart;
    }

    Detached detached;
    compute_macd(fast_period, slow_period, signal_period, *data_run, *macd_run, *signal_run,
                 *hist_run);
    return Status::success();
}

Status run_atr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto names = atr_row.parameters;
    std::array<PyObject*, std::size(atr_parameters)> slots{};
    if (Status bound = bind_arguments(atr_row.signature(), args, nargs, kwnames, slots);
        !bound.ok()) {
        return bound;
    }
    Result<std::uint32_t> period = period_argument(slots[0], names[0]);
    if (!period.ok()) return period.take_error();
    std::optional<InputSeries> high_series;
    if (Status done = extract_input_series(slots[1], names[1], high_series); !done.ok()) return done;
    std::optional<InputSeries> low_series;
    if (Status done = extract_input_series(slots[2], names[2], low_series); !done.ok()) return done;
    std::optional<InputSeries> close_series;
    if (Status done = extract_input_series(slots[3], names[3], close_series); !done.ok()) {
        return done;
    }
    std::optional<OutputSeries> output_series;
    if (Status done = extract_output_series(slots[4], names[4], output_series); !done.ok()) {
        return done;
    }
    InputSeries& high = *high_series;
    InputSeries& low = *low_series;
    InputSeries& close = *close_series;
    OutputSeries& output = *output_series;
    if (high.borrow_ran_outside_code()) {
        if (Status refreshed = refresh(high, low, close); !refreshed.ok()) return refreshed;
    }

    auto high_run = contiguous_run(high.view());
    if (!high_run) return invalid("High array must be C-contiguous and float64");
    auto low_run = contiguous_run(low.view());
    if (!low_run) return invalid("Low array must be C-contiguous and float64");
    auto close_run = contiguous_run(close.view());
    if (!close_run) return invalid("Close array must be C-contiguous and float64");
    const std::size_t n = high_run->size();
    if (low_run->size() != n || close_run->size() != n) {
        return invalid("All arrays must have the same length");
    }
    auto output_run = contiguous_run(output.view());
    if (!output_run) return invalid("Output array must be C-contiguous and float64");
    if (output_run->size() != n) return invalid("Output array length must match input");
    if (!output.writeable()) return invalid("Output array is not writeable");
    if (Status apart = refuse_overlap({"output", names[4], *output_run},
                                      {{"input", names[1], *high_run},
                                       {"input", names[2], *low_run},
                                       {"input", names[3], *close_run}});
        !apart.ok()) {
        return apart;
    }

    // Runs attached: the call holds the interpreter for the whole computation.
    compute_atr(period.value(), *high_run, *low_run, *close_run, *output_run);
    return Status::success();
}

}  // namespace

PyObject* indicator_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_moving_average(sma_row, compute_sma, args, nargs, kwnames));
}

PyObject* indicator_ema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_moving_average(ema_row, compute_ema, args, nargs, kwnames));
}

PyObject* indicator_macd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_macd(args, nargs, kwnames));
}

PyObject* indicator_atr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_atr(args, nargs, kwnames));
}

}  // namespace quorvane
