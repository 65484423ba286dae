// The outcome of one printer in a run, as the summary names it.
#pragma once

#include <string>

namespace fleet {

enum class Result {
    none,         // no outcome (yet): running, or cut short
    ok,
    current,      // --firmware: it already runs the version, nothing sent
    to_deliver,   // --plan: it runs another version
    incompatible, // of a model the bundle is not for: nothing sent
    failed,
    not_started,
};

// The word of the summary and the records ("to deliver", "not started").
const char* result_name(Result result);
// The result a word stands for; Result::none for any other word.
Result result_named(const std::string& word);

}  // namespace fleet
