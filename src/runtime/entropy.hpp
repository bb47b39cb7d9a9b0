// Operating-system entropy: getrandom, or /dev/urandom (after /dev/random
// is readable) where the system call is missing or forbidden.
#pragma once

#include <cstddef>

namespace cladorix {

// Fills dst with len random bytes. Throws InternalError("from_entropy
// failed: ...") when the system cannot supply them.
void fill_entropy(unsigned char* dst, size_t len);

namespace random_detail {

// The device-file route, callable directly so that it can be exercised on
// kernels where getrandom works.
void fill_from_device_files(unsigned char* dst, size_t len);

}  // namespace random_detail

}  // namespace cladorix
