// Procedures that "go on with the next step" after a failure: each step runs in turn; a step
// that fails hands its error to the procedure's handler (which logs its "Resuming next" line)
// and the procedure continues with the following step.
//
//   vb::ResumeNext steps([&](const vb::Error& e) { Log("Error #" + ... + "  Resuming next..."); });
//   steps.Run([&] { OpenDatabase(); });
//   steps.Run([&] { ReadSettings(); });
//   if (steps.Failed()) ...
#pragma once

#include "vbrt/error.h"

#include <functional>
#include <initializer_list>
#include <optional>

namespace vb {

class ResumeNext {
public:
    using Handler = std::function<void(const Error&)>;

    // Without a handler, failures are only counted.
    explicit ResumeNext(Handler onError = {});

    // Runs one step at once. A vb::Error is handed over as it is; a std::exception becomes the
    // error number that fits (vb::FromException); anything else becomes error 5. A handler
    // that itself throws is not guarded: its exception goes to the caller.
    // Returns true when the step completed.
    bool Run(const std::function<void()>& step);

    // Number of steps that failed so far, and the last failure.
    int Failures() const { return failures_; }
    bool Failed() const { return failures_ > 0; }
    const std::optional<Error>& LastError() const { return last_; }

private:
    Handler onError_;
    int failures_ = 0;
    std::optional<Error> last_;
};

// Runs the steps in order with one handler; returns the number of steps that failed.
int RunResumingNext(std::initializer_list<std::function<void()>> steps,
                    const ResumeNext::Handler& onError);

}  // namespace vb
