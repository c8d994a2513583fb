"""Reach the shared borrow registry the way another extension module does:
through the capsule on NumPy's multiarray module, calling the table's
function pointers with the interpreter held."""

import ctypes

import numpy as np

ATTRIBUTE = "_RUST_NUMPY_BORROW_CHECKING_API"
# A capsule keeps the pointer to its name, not a copy: the bytes must live as
# long as any capsule made by publish().
_NAME = ATTRIBUTE.encode()

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Table(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire_shared", ACQUIRE),
        ("acquire_exclusive", ACQUIRE),
        ("release_shared", RELEASE),
        ("release_exclusive", RELEASE),
    ]


def multiarray():
    major = int(np.__version__.split(".")[0])
    if major >= 2:
        return np._core.multiarray
    return np.core.multiarray


_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class Registry:
    """The registry currently published on the multiarray module."""

    def __init__(self):
        capsule = getattr(multiarray(), ATTRIBUTE)
        self.capsule = capsule
        self.name = _get_name(capsule)
        self.table = Table.from_address(_get_pointer(capsule, self.name))

    def acquire_shared(self, array):
        return self.table.acquire_shared(self.table.state, array)

    def acquire_exclusive(self, array):
        return self.table.acquire_exclusive(self.table.state, array)

    def release_shared(self, array):
        self.table.release_shared(self.table.state, array)

    def release_exclusive(self, array):
        self.table.release_exclusive(self.table.state, array)


def publish(table):
    """Publish `table` (kept alive by the caller) as another module would."""
    capsule = _new_capsule(ctypes.addressof(table), _NAME, None)
    setattr(multiarray(), ATTRIBUTE, capsule)
    return capsule
