#include "Result.h"

// Out of line: a success is made in some forty places, and each inline copy
// would write its four fields.
Result::Result() = default;

Result::Result(WindowsError error, std::initializer_list<std::wstring_view> step)
    : failed_(true), error_(error) {
    In(step);
}

Result& Result::In(std::initializer_list<std::wstring_view> step) {
    if (step_.View().empty()) {
        step_.AppendCut(step);
    }
    return *this;
}

Result& Result::Holding(std::wstring_view file) {
    heldFile_.Clear();
    heldFile_.AppendCut({file});
    return *this;
}
