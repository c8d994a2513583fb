// The module's functions, one row each: the name, the parameters, the text
// signature and the entry function. module.cpp adds them to the module in
// table order; the entry functions bind their arguments with the row's
// signature and name each parameter by its index in it. The stub
// (python-stubs/quorvane-stubs/__init__.pyi) is checked against the module by
// tests/test_stubs.py.
#pragma once

#include "binding.hpp"
#include "entries.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace quorvane {

struct FunctionRow {
    const char* name;  // NUL-terminated, for the method record
    std::span<const std::string_view> parameters;
    // The documentation text in the interpreter's text-signature form,
    // "name(parameter, ...)\n--\n\n": inspect.signature reads it, and the
    // function has no docstring beyond it.
    const char* text_signature;
    EntryFunction entry;

    constexpr CallSignature signature() const { return {name, parameters}; }
};

inline constexpr std::string_view average_parameters[] = {"period", "data", "output"};
inline constexpr std::string_view macd_parameters[] = {
    "fast_period", "slow_period", "signal_period", "data",
    "macd_output", "signal_output", "hist_output"};
inline constexpr std::string_view atr_parameters[] = {"period", "high", "low", "close", "output"};

inline constexpr FunctionRow sma_row{"indicator_sma", average_parameters,
                                     "indicator_sma(period, data, output)\n--\n\n", indicator_sma};
inline constexpr FunctionRow ema_row{"indicator_ema", average_parameters,
                                     "indicator_ema(period, data, output)\n--\n\n", indicator_ema};
inline constexpr FunctionRow macd_row{
    "indicator_macd", macd_parameters,
    "indicator_macd(fast_period, slow_period, signal_period, data, macd_output, signal_output, "
    "hist_output)\n--\n\n",
    indicator_macd};
inline constexpr FunctionRow atr_row{"indicator_atr", atr_parameters,
                                     "indicator_atr(period, high, low, close, output)\n--\n\n",
                                     indicator_atr};

// In this order the functions are added to the module and named in __all__.
inline constexpr std::array<FunctionRow, 4> function_table{sma_row, ema_row, macd_row, atr_row};

// Whether a row's text signature names the row's function and parameters.
constexpr bool text_signature_matches(const FunctionRow& row) {
    std::string_view text = row.text_signature;
    auto take = [&text](std::string_view part) {
        if (!text.starts_with(part)) return false;
        text.remove_prefix(part.size());
        return true;
    };
    if (!take(row.name) || !take("(")) return false;
    for (std::size_t i = 0; i < row.parameters.size(); ++i) {
        if ((i > 0 && !take(", ")) || !take(row.parameters[i])) return false;
    }
    return text == ")\n--\n\n";
}

static_assert([] {
    for (const FunctionRow& row : function_table) {
        if (!text_signature_matches(row)) return false;
    }
    return true;
}(), "a text signature differs from its row's name or parameters");

}  // namespace quorvane
