// Everything this module assumes about NumPy's binary interface, in one
// table: the slots of the C-API table it calls, the constants it passes, and
// the structure fields it reads. The module does not include NumPy's headers;
// tests/test_numpy_layout.py compiles tests/harness/numpy_layout_probe.cpp
// against the installed NumPy's headers and checks every entry here.
//
// The one difference between NumPy 1.x and 2.x that matters here, where a
// descriptor keeps its element size, is behind descr_element_size.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>

namespace quorvane::numpy::layout {

// Slots of the "_ARRAY_API" table, by NumPy's published index.
inline constexpr std::size_t slot_array_type = 2;  // PyArray_Type
inline constexpr std::size_t slot_descr_from_type = 45;  // PyArray_DescrFromType
inline constexpr std::size_t slot_equiv_types = 182;  // PyArray_EquivTypes
inline constexpr std::size_t slot_feature_version = 211;  // PyArray_GetNDArrayCFeatureVersion

// Constants passed to or compared with NumPy's.
inline constexpr int double_type_number = 12;  // NPY_DOUBLE
inline constexpr int writeable_flag = 0x0400;  // NPY_ARRAY_WRITEABLE
inline constexpr unsigned int numpy2_feature_version = 0x12;  // NPY_2_0_API_VERSION

// The leading fields of the array object (PyArrayObject_fields), the same in
// NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject head;
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// The leading fields of a descriptor. NumPy 1.x keeps the element size as an
// int after the type number (PyArray_Descr there, PyArray_DescrProto in 2.x);
// NumPy 2.x puts 64-bit flags there and widens the element size
// (_PyArray_DescrNumPy2).
struct DescrFieldsV1 {
    PyObject head;
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};
struct DescrFieldsV2 {
    PyObject head;
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    Py_ssize_t elsize;
};

inline ArrayFields* array_fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

// Element size of a descriptor, read in the layout of the NumPy whose
// feature version is given.
inline Py_ssize_t descr_element_size(PyObject* descr, unsigned int feature_version) {
    if (feature_version >= numpy2_feature_version) {
        return reinterpret_cast<const DescrFieldsV2*>(descr)->elsize;
    }
    return reinterpret_cast<const DescrFieldsV1*>(descr)->elsize;
}

}  // namespace quorvane::numpy::layout
