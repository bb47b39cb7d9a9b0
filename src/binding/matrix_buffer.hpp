// Character matrices read straight from the buffer protocol (PEP 3118), so
// that a numpy array costs one copy instead of a Python object per element.
//
// Only arrays whose iteration is known to yield their buffer's elements are
// read this way (numpy.ndarray and numpy.memmap, memoryview, and array.array
// for rows), and only when the buffer holds integers; the result is then the
// one iterating would give, i.e. the one `array.tolist()` gives. Every other
// object is left to the conversion by iteration, untouched: no buffer is
// even asked for, since a buffer of some other type (a masked array, a
// matrix subclass) may not hold what its iteration yields.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "binding/py.hpp"
#include "measures/characters/character_states.hpp"

namespace cladorix::py {

// Fills `out` from `obj` when it is such an array with a 2-D integer buffer
// (any integer size and byte order, any strides) and returns true. Returns
// false with nothing set for anything else. An element outside the signed
// 32-bit range raises, in row-major order, exactly what converting the
// Python int it stands for raises; pending signals are looked for as rows
// are read.
bool matrix_from_buffer(PyObject* obj, CharacterMatrix& out);

// The buffer of such a 2-D array of native 32-bit signed integers whose rows
// each lie contiguously, held (until the last copy of the pointer goes, with
// the interpreter lock held) so that its rows can be read in place; nullptr
// for anything else.
std::shared_ptr<const Py_buffer> int32_rows_in_place(PyObject* obj);

// The same for one row: such an array (array.array too) with a 1-D integer
// buffer.
bool row_from_buffer(PyObject* obj, std::vector<int32_t>& out);

// Called while the conversion by iteration's exception is set. When that
// exception is exactly TypeError and `obj` has no buffer of its own but its
// type has __array__, and `obj.__array__()` gives a 2-D integer array, fills
// `out` from that array, clears the exception and returns true. Otherwise
// the original exception is set again (unless __array__ raised a
// BaseException that is no Exception, such as KeyboardInterrupt, which then
// stands) and false is returned.
//
// This is what makes a pandas DataFrame of integer columns read as its rows:
// iterating a frame yields its column labels, which fail as rows. An object
// that iteration converts is never asked for __array__.
bool matrix_from_array_method(PyObject* obj, CharacterMatrix& out);

}  // namespace cladorix::py
