#include "vbrt/resume_next.h"

#include <exception>

namespace vb {

ResumeNext::ResumeNext(Handler onError) : onError_(std::move(onError)) {}

bool ResumeNext::Run(const std::function<void()>& step) {
    std::optional<Error> failure;
    try {
        step();
        return true;
    } catch (...) {
        failure = CurrentException();
    }
    ++failures_;
    last_ = *failure;
    if (onError_) onError_(*failure);
    return false;
}

int RunResumingNext(std::initializer_list<std::function<void()>> steps,
                    const ResumeNext::Handler& onError) {
    ResumeNext runner(onError);
    for (const auto& step : steps) runner.Run(step);
    return runner.Failures();
}

}  // namespace vb
