// Internal consistency checks that stay on in every build.
//
// They guard promises between units that correct code and well-formed input
// never break. A failed check prints the expression, the function, the
// source file and the line, then aborts.
#ifndef QUARN_ASSERT_H
#define QUARN_ASSERT_H

#include "quarn_report.h"

#define QUARN_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : ::quarn::assert_fail(#expr, __func__, __FILE__, __LINE__))

// The same with the message text given explicitly, where the checked
// expression reads better in the message than in the code.
#define QUARN_ASSERT_TEXT(expr, text) \
    ((expr) ? static_cast<void>(0) : ::quarn::assert_fail(text, __func__, __FILE__, __LINE__))

#endif
