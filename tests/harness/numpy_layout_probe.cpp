// Compares bindings/numpy_layout.hpp with the installed NumPy's own headers.
// Built by tests/test_numpy_layout.py into a shared library and read through
// ctypes: probe_rows() lists, per entry of the table, our value and NumPy's.
#include "numpy_layout.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>

namespace {

namespace layout = quorvane::numpy::layout;

struct Row {
    const char* name;
    long long ours;
    long long numpy;
};

// The C-API macros index PyArray_API; a table whose entries are their own
// indices turns each macro into its slot number.
void* indices[256];

long long slot_of(const void* entry) {
    return static_cast<long long>(reinterpret_cast<std::uintptr_t>(entry));
}

template <class Function>
long long slot_of_function(Function* function) {
    return static_cast<long long>(reinterpret_cast<std::uintptr_t>(function));
}

#define OFFSET_ROW(label, ours_type, ours_field, numpy_type, numpy_field) \
    Row{label, static_cast<long long>(offsetof(ours_type, ours_field)),    \
        static_cast<long long>(offsetof(numpy_type, numpy_field))}

#if NPY_ABI_VERSION >= 0x02000000
using NumPy1Descr = PyArray_DescrProto;
#else
using NumPy1Descr = PyArray_Descr;
#endif

Row rows[64];
int row_count = 0;

void add(Row row) { rows[row_count++] = row; }

void fill() {
    for (std::size_t i = 0; i < sizeof indices / sizeof indices[0]; ++i) {
        indices[i] = reinterpret_cast<void*>(i);
    }
    PyArray_API = indices;

    add({"slot PyArray_Type", static_cast<long long>(layout::slot_array_type),
         slot_of(&PyArray_Type)});
    add({"slot PyArray_DescrFromType", static_cast<long long>(layout::slot_descr_from_type),
         slot_of_function(&PyArray_DescrFromType)});
    add({"slot PyArray_EquivTypes", static_cast<long long>(layout::slot_equiv_types),
         slot_of_function(&PyArray_EquivTypes)});
    add({"slot PyArray_GetNDArrayCFeatureVersion",
         static_cast<long long>(layout::slot_feature_version),
         slot_of_function(&PyArray_GetNDArrayCFeatureVersion)});

    add({"NPY_DOUBLE", layout::double_type_number, NPY_DOUBLE});
    add({"NPY_ARRAY_WRITEABLE", layout::writeable_flag, NPY_ARRAY_WRITEABLE});

    using Array = layout::ArrayFields;
    add(OFFSET_ROW("array data", Array, data, PyArrayObject_fields, data));
    add(OFFSET_ROW("array nd", Array, nd, PyArrayObject_fields, nd));
    add(OFFSET_ROW("array dimensions", Array, dimensions, PyArrayObject_fields, dimensions));
    add(OFFSET_ROW("array strides", Array, strides, PyArrayObject_fields, strides));
    add(OFFSET_ROW("array base", Array, base, PyArrayObject_fields, base));
    add(OFFSET_ROW("array descr", Array, descr, PyArrayObject_fields, descr));
    add(OFFSET_ROW("array flags", Array, flags, PyArrayObject_fields, flags));

    using V1 = layout::DescrFieldsV1;
    add(OFFSET_ROW("1.x descr typeobj", V1, typeobj, NumPy1Descr, typeobj));
    add(OFFSET_ROW("1.x descr type_num", V1, type_num, NumPy1Descr, type_num));
    add(OFFSET_ROW("1.x descr elsize", V1, elsize, NumPy1Descr, elsize));
    add({"1.x descr elsize size", sizeof(V1::elsize), sizeof(NumPy1Descr::elsize)});

#if NPY_ABI_VERSION >= 0x02000000
    using V2 = layout::DescrFieldsV2;
    add({"NPY_2_0_API_VERSION", layout::numpy2_feature_version, NPY_2_0_API_VERSION});
    add(OFFSET_ROW("2.x descr typeobj", V2, typeobj, _PyArray_DescrNumPy2, typeobj));
    add(OFFSET_ROW("2.x descr type_num", V2, type_num, _PyArray_DescrNumPy2, type_num));
    add(OFFSET_ROW("2.x descr flags", V2, flags, _PyArray_DescrNumPy2, flags));
    add(OFFSET_ROW("2.x descr elsize", V2, elsize, _PyArray_DescrNumPy2, elsize));
    add({"2.x descr elsize size", sizeof(V2::elsize), sizeof(_PyArray_DescrNumPy2::elsize)});
#endif
}

}  // namespace

extern "C" {

// The headers' NumPy major version: 1 or 2.
int probe_numpy_major() { return NPY_ABI_VERSION >= 0x02000000 ? 2 : 1; }

const Row* probe_rows(int* count) {
    if (row_count == 0) fill();
    *count = row_count;
    return rows;
}

}
