// MIREL_PRINTF_LIKE: marks a function that takes a printf format, so that the compiler checks each
// call's arguments against it. Used by the module's trace functions and the factory loader's.
#ifndef MIREL_BASE_PRINTF_LIKE_H
#define MIREL_BASE_PRINTF_LIKE_H

#if defined(__GNUC__)
#define MIREL_PRINTF_LIKE(fmt_index, first_arg) \
    __attribute__((format(printf, fmt_index, first_arg)))
#else
#define MIREL_PRINTF_LIKE(fmt_index, first_arg)
#endif

#endif  // MIREL_BASE_PRINTF_LIKE_H
