// Collecting the languages of a payload's language-bound commands: every one of the 65,535
// distinct nonzero LCIDs, in a scattered order, through the launcher's add_command_lcid, and
// the list it shows afterwards. Against it, the former way of keeping them: a scan of the list
// for each command and an insertion at its front for each new language. Both are timed with
// the same inputs; the ratio says how much the set and the appended list save.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "launcher_test_hooks.h"
#include "setup_launcher.h"

namespace {

constexpr std::uint32_t language_count = 65535;

// Every nonzero 16-bit value once, in an order that is neither rising nor falling.
const std::vector<std::uint16_t>& distinct_languages() {
    static const std::vector<std::uint16_t> languages = [] {
        std::vector<std::uint16_t> values;
        values.reserve(language_count);
        for (std::uint32_t i = 0; values.size() < language_count; ++i) {
            const auto value = static_cast<std::uint16_t>(i * 40503u);
            if (value != 0)
                values.push_back(value);
        }
        return values;
    }();
    return languages;
}

void launcher_collection(benchmark::State& state) {
    const std::vector<std::uint16_t>& languages = distinct_languages();
    for (auto _ : state) {
        reset_collected_lcids();
        for (std::uint16_t lcid : languages)
            add_command_lcid(lcid);
        benchmark::DoNotOptimize(collected_lcids().data());
    }
    state.counters["languages"] = static_cast<double>(collected_lcids().size());
}

// The former collection, kept here as the yardstick.
void scan_and_insert_in_front(benchmark::State& state) {
    const std::vector<std::uint16_t>& languages = distinct_languages();
    std::vector<std::uint16_t> kept;
    for (auto _ : state) {
        kept.clear();
        for (std::uint16_t lcid : languages) {
            bool known = false;
            for (std::size_t i = 0; i < kept.size() && !known; ++i)
                known = kept[i] == lcid;
            if (!known)
                kept.insert(kept.begin(), lcid);
        }
        benchmark::DoNotOptimize(kept.data());
    }
    state.counters["languages"] = static_cast<double>(kept.size());
}

}  // namespace

BENCHMARK(launcher_collection)->Name("lcids/launcher")->Unit(benchmark::kMillisecond);
BENCHMARK(scan_and_insert_in_front)
    ->Name("lcids/scan_and_insert_in_front")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK_MAIN();
