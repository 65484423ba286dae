#include "result.h"

namespace fleet {

namespace {

struct Named {
    Result result;
    const char* name;
};

constexpr Named names[] = {{Result::ok, "ok"},         {Result::current, "current"},
                           {Result::to_deliver, "to deliver"}, {Result::incompatible, "incompatible"},
                           {Result::failed, "failed"},
                           {Result::not_started, "not started"}};

}  // namespace

const char* result_name(Result result) {
    for (const Named& n : names)
        if (n.result == result) return n.name;
    return "";
}

Result result_named(const std::string& word) {
    for (const Named& n : names)
        if (word == n.name) return n.result;
    return Result::none;
}

}  // namespace fleet
