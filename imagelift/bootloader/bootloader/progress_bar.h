// A progress bar as the transaction and the download drive it (the window layer supplies it).
#pragma once

#include <string>

namespace basBootloader {

class IProgressBar {
public:
    virtual ~IProgressBar() = default;
    virtual std::string TypeName() const { return "ProgressBar"; }
    virtual void SetVisible(bool visible) = 0;
    virtual float Min() const = 0;
    virtual void SetMin(float v) = 0;
    virtual float Max() const = 0;
    virtual void SetMax(float v) = 0;
    virtual float Value() const = 0;
    virtual void SetValue(float v) = 0;
};

}  // namespace basBootloader
