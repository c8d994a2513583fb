#include "entries.hpp"

#include "arrays.hpp"
#include "binding.hpp"
#include "errors.hpp"

#include <quorvane/kernels.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>

namespace quorvane {

namespace {

constexpr std::string_view average_parameters[] = {"period", "data", "output"};
constexpr std::string_view macd_parameters[] = {"fast_period", "slow_period", "signal_period",
                                                "data", "macd_output", "signal_output",
                                                "hist_output"};
constexpr std::string_view atr_parameters[] = {"period", "high", "low", "close", "output"};

constexpr CallSignature sma_signature{"indicator_sma", average_parameters};
constexpr CallSignature ema_signature{"indicator_ema", average_parameters};
constexpr CallSignature macd_signature{"indicator_macd", macd_parameters};
constexpr CallSignature atr_signature{"indicator_atr", atr_parameters};

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

Status run_moving_average(const CallSignature& signature, MovingAverage kernel,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> slots{};
    if (Status bound = bind_arguments(signature, args, nargs, kwnames, slots); !bound.ok()) {
        return bound;
    }
    Result<std::uint32_t> period = period_argument(slots[0], "period");
    if (!period.ok()) return period.take_error();
    Result<InputSeries> data = extract_input_series(slots[1], "data");
    if (!data.ok()) return data.take_error();
    Result<OutputSeries> output = extract_output_series(slots[2], "output");
    if (!output.ok()) return output.take_error();
    // Another module's registry may run any code while it takes the borrow.
    if (!data.value().own_registry()) {
        if (Status refreshed = refresh(data.value()); !refreshed.ok()) return refreshed;
    }

    auto data_run = contiguous_run(data.value().view());
    if (!data_run) return invalid("Input array must be C-contiguous and float64");
    auto output_run = contiguous_run(output.value().view());
    if (!output_run) return invalid("Output array must be C-contiguous and float64");
    if (output_run->size() != data_run->size()) return invalid("Output array length must match input");
    if (!output.value().writeable()) return invalid("Output array is not writeable");
    if (Status apart = refuse_overlap({"output", "output", *output_run},
                                      {{"input", "data", *data_run}});
        !apart.ok()) {
        return apart;
    }

    Detached detached;
    kernel(period.value(), *data_run, *output_run);
    return Status::success();
}

Status run_macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 7> slots{};
    if (Status bound = bind_arguments(macd_signature, args, nargs, kwnames, slots); !bound.ok()) {
        return bound;
    }
    std::array<std::uint32_t, 3> periods{};
    for (std::size_t i = 0; i < periods.size(); ++i) {
        Result<std::uint32_t> period = period_argument(slots[i], macd_parameters[i]);
        if (!period.ok()) return period.take_error();
        periods[i] = period.value();
    }
    const auto [fast_period, slow_period, signal_period] = periods;
    Result<InputSeries> data = extract_input_series(slots[3], "data");
    if (!data.ok()) return data.take_error();
    Result<OutputSeries> macd = extract_output_series(slots[4], "macd_output");
    if (!macd.ok()) return macd.take_error();
    Result<OutputSeries> signal = extract_output_series(slots[5], "signal_output");
    if (!signal.ok()) return signal.take_error();
    Result<OutputSeries> hist = extract_output_series(slots[6], "hist_output");
    if (!hist.ok()) return hist.take_error();

    if (fast_period == 0 || slow_period == 0 || signal_period == 0) {
        return invalid("Periods must be greater than 0");
    }
    if (fast_period >= slow_period) return invalid("Fast period must be less than slow period");
    // The length queries run an array subclass's own __len__, which may say
    // anything and change any of the arrays. Their errors come out here; the
    // lengths checked are those of the arrays as read after the last query,
    // the ones the kernel uses.
    for (const OutputSeries* output : {&macd.value(), &signal.value(), &hist.value()}) {
        if (PyObject_Size(output->array()) < 0) return fetch_pending_error();
    }
    if (Status refreshed = refresh(data.value(), macd.value(), signal.value(), hist.value());
        !refreshed.ok()) {
        return refreshed;
    }
    const std::size_t n = data.value().view().size;
    for (const OutputSeries* output : {&macd.value(), &signal.value(), &hist.value()}) {
        if (output->view().size != n) {
            return invalid("All output arrays must have the same length as input data");
        }
    }
    auto data_run = contiguous_run(data.value().view());
    if (!data_run) return invalid("Input array must be C-contiguous");
    auto macd_run = contiguous_run(macd.value().view());
    if (!macd_run) return invalid("MACD output array must be C-contiguous");
    auto signal_run = contiguous_run(signal.value().view());
    if (!signal_run) return invalid("Signal output array must be C-contiguous");
    auto hist_run = contiguous_run(hist.value().view());
    if (!hist_run) return invalid("Histogram output array must be C-contiguous");
    if (!macd.value().writeable()) return invalid("MACD output array is not writeable");
    if (!signal.value().writeable()) return invalid("Signal output array is not writeable");
    if (!hist.value().writeable()) return invalid("Histogram output array is not writeable");
    const NamedRun data_named{"input", "data", *data_run};
    const NamedRun macd_named{"output", "macd_output", *macd_run};
    const NamedRun signal_named{"output", "signal_output", *signal_run};
    const NamedRun hist_named{"output", "hist_output", *hist_run};
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
    std::array<PyObject*, 5> slots{};
    if (Status bound = bind_arguments(atr_signature, args, nargs, kwnames, slots); !bound.ok()) {
        return bound;
    }
    Result<std::uint32_t> period = period_argument(slots[0], "period");
    if (!period.ok()) return period.take_error();
    Result<InputSeries> high = extract_input_series(slots[1], "high");
    if (!high.ok()) return high.take_error();
    Result<InputSeries> low = extract_input_series(slots[2], "low");
    if (!low.ok()) return low.take_error();
    Result<InputSeries> close = extract_input_series(slots[3], "close");
    if (!close.ok()) return close.take_error();
    Result<OutputSeries> output = extract_output_series(slots[4], "output");
    if (!output.ok()) return output.take_error();
    if (!high.value().own_registry()) {
        Status refreshed = refresh(high.value(), low.value(), close.value());
        if (!refreshed.ok()) return refreshed;
    }

    auto high_run = contiguous_run(high.value().view());
    if (!high_run) return invalid("High array must be C-contiguous and float64");
    auto low_run = contiguous_run(low.value().view());
    if (!low_run) return invalid("Low array must be C-contiguous and float64");
    auto close_run = contiguous_run(close.value().view());
    if (!close_run) return invalid("Close array must be C-contiguous and float64");
    const std::size_t n = high_run->size();
    if (low_run->size() != n || close_run->size() != n) {
        return invalid("All arrays must have the same length");
    }
    auto output_run = contiguous_run(output.value().view());
    if (!output_run) return invalid("Output array must be C-contiguous and float64");
    if (output_run->size() != n) return invalid("Output array length must match input");
    if (!output.value().writeable()) return invalid("Output array is not writeable");
    if (Status apart = refuse_overlap({"output", "output", *output_run},
                                      {{"input", "high", *high_run},
                                       {"input", "low", *low_run},
                                       {"input", "close", *close_run}});
        !apart.ok()) {
        return apart;
    }

    // Runs attached: the call holds the interpreter for the whole computation.
    compute_atr(period.value(), *high_run, *low_run, *close_run, *output_run);
    return Status::success();
}

}  // namespace

PyObject* indicator_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_moving_average(sma_signature, compute_sma, args, nargs, kwnames));
}

PyObject* indicator_ema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_moving_average(ema_signature, compute_ema, args, nargs, kwnames));
}

PyObject* indicator_macd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_macd(args, nargs, kwnames));
}

PyObject* indicator_atr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return finish(run_atr(args, nargs, kwnames));
}

}  // namespace quorvane
