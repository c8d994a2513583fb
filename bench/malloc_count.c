/* Counting allocator shim, preloaded into the allocation probe.
 *
 * Counts two kinds of heap requests while counting is switched on:
 *  - the C library's: malloc, calloc, realloc and the aligned variants, which
 *    is where operator new, std::malloc and PyMem_RawMalloc end up;
 *  - the interpreter's own allocators (PyMem_Malloc, PyObject_Malloc), which
 *    hand out memory from pymalloc or, on the free-threaded build, mimalloc
 *    without asking the C library for each block. They are counted by hooks
 *    that wrap the allocators already installed, as tracemalloc does, once
 *    the probe calls malloc_count_hook_python.
 * The probe switches counting on and off (malloc_count_start /
 * malloc_count_stop) around loops of indicator calls, so allocations made by
 * the interpreter elsewhere are not counted.
 *
 * dlsym itself may allocate before the real functions are known; those early
 * requests are served from a small static arena that is never handed back.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef void *(*malloc_fn)(size_t);
typedef void *(*calloc_fn)(size_t, size_t);
typedef void *(*realloc_fn)(void *, size_t);
typedef void (*free_fn)(void *);
typedef int (*posix_memalign_fn)(void **, size_t, size_t);
typedef void *(*aligned_alloc_fn)(size_t, size_t);

static malloc_fn real_malloc;
static calloc_fn real_calloc;
static realloc_fn real_realloc;
static free_fn real_free;
static posix_memalign_fn real_posix_memalign;
static aligned_alloc_fn real_aligned_alloc;
static aligned_alloc_fn real_memalign;

static atomic_int counting;
static atomic_long allocations;
static atomic_long releases;
static atomic_long python_allocations;

static _Alignas(16) unsigned char arena[16384];
static size_t arena_used;
static int resolving;

static int in_arena(const void *p) {
    return (const unsigned char *)p >= arena && (const unsigned char *)p < arena + sizeof arena;
}

static void *arena_alloc(size_t size) {
    size_t rounded = (size + 15u) & ~(size_t)15u;
    if (arena_used + rounded > sizeof arena) return NULL;
    void *p = arena + arena_used;
    arena_used += rounded;
    return p;
}

static void resolve(void) {
    if (real_malloc || resolving) return;
    resolving = 1;
    real_calloc = (calloc_fn)dlsym(RTLD_NEXT, "calloc");
    real_realloc = (realloc_fn)dlsym(RTLD_NEXT, "realloc");
    real_free = (free_fn)dlsym(RTLD_NEXT, "free");
    real_posix_memalign = (posix_memalign_fn)dlsym(RTLD_NEXT, "posix_memalign");
    real_aligned_alloc = (aligned_alloc_fn)dlsym(RTLD_NEXT, "aligned_alloc");
    real_memalign = (aligned_alloc_fn)dlsym(RTLD_NEXT, "memalign");
    real_malloc = (malloc_fn)dlsym(RTLD_NEXT, "malloc");
    resolving = 0;
}

static void note_allocation(void) {
    if (atomic_load_explicit(&counting, memory_order_relaxed))
        atomic_fetch_add_explicit(&allocations, 1, memory_order_relaxed);
}

void *malloc(size_t size) {
    resolve();
    if (!real_malloc) return arena_alloc(size);
    note_allocation();
    return real_malloc(size);
}

void *calloc(size_t count, size_t size) {
    resolve();
    if (!real_calloc) {
        if (size && count > SIZE_MAX / size) return NULL;
        return arena_alloc(count * size); /* static storage starts zeroed */
    }
    note_allocation();
    return real_calloc(count, size);
}

void *realloc(void *p, size_t size) {
    resolve();
    if (in_arena(p)) {
        void *q = malloc(size);
        size_t room = (size_t)(arena + sizeof arena - (unsigned char *)p);
        if (q) memcpy(q, p, size < room ? size : room);
        return q;
    }
    note_allocation();
    return real_realloc(p, size);
}

void free(void *p) {
    if (!p || in_arena(p)) return;
    resolve();
    if (atomic_load_explicit(&counting, memory_order_relaxed))
        atomic_fetch_add_explicit(&releases, 1, memory_order_relaxed);
    real_free(p);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
    resolve();
    note_allocation();
    return real_posix_memalign(out, alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    resolve();
    note_allocation();
    return real_aligned_alloc(alignment, size);
}

void *memalign(size_t alignment, size_t size) {
    resolve();
    note_allocation();
    return real_memalign(alignment, size);
}

/* Hooks on the interpreter's allocators. The record matches PyMemAllocatorEx
 * and the domain numbers PyMemAllocatorDomain; the raw domain is left alone,
 * since it reaches the C library, where it is counted already. */
typedef struct {
    void *ctx;
    void *(*malloc)(void *ctx, size_t size);
    void *(*calloc)(void *ctx, size_t count, size_t size);
    void *(*realloc)(void *ctx, void *p, size_t size);
    void (*free)(void *ctx, void *p);
} allocator_record;

typedef void (*get_allocator_fn)(int domain, allocator_record *out);
typedef void (*set_allocator_fn)(int domain, allocator_record *in);

enum { DOMAIN_MEM = 1, DOMAIN_OBJ = 2 };
static allocator_record wrapped[3];

static void note_python_allocation(void) {
    if (atomic_load_explicit(&counting, memory_order_relaxed))
        atomic_fetch_add_explicit(&python_allocations, 1, memory_order_relaxed);
}

static void *hook_malloc(void *ctx, size_t size) {
    allocator_record *next = ctx;
    note_python_allocation();
    return next->malloc(next->ctx, size);
}

static void *hook_calloc(void *ctx, size_t count, size_t size) {
    allocator_record *next = ctx;
    note_python_allocation();
    return next->calloc(next->ctx, count, size);
}

static void *hook_realloc(void *ctx, void *p, size_t size) {
    allocator_record *next = ctx;
    note_python_allocation();
    return next->realloc(next->ctx, p, size);
}

static void hook_free(void *ctx, void *p) {
    allocator_record *next = ctx;
    next->free(next->ctx, p);
}

/* Call with the interpreter attached (ctypes.PyDLL). Returns 0 on success. */
int malloc_count_hook_python(void) {
    get_allocator_fn get = (get_allocator_fn)dlsym(RTLD_DEFAULT, "PyMem_GetAllocator");
    set_allocator_fn set = (set_allocator_fn)dlsym(RTLD_DEFAULT, "PyMem_SetAllocator");
    if (!get || !set) return -1;
    const int domains[] = {DOMAIN_MEM, DOMAIN_OBJ};
    for (size_t i = 0; i < sizeof domains / sizeof domains[0]; ++i) {
        int d = domains[i];
        get(d, &wrapped[d]);
        allocator_record hook = {&wrapped[d], hook_malloc, hook_calloc, hook_realloc, hook_free};
        set(d, &hook);
    }
    return 0;
}

/* Control surface for the probe. */
void malloc_count_start(void) {
    atomic_store(&python_allocations, 0);
    atomic_store(&allocations, 0);
    atomic_store(&releases, 0);
    atomic_store(&counting, 1);
}

void malloc_count_stop(void) { atomic_store(&counting, 0); }

long malloc_count_allocations(void) { return atomic_load(&allocations); }

long malloc_count_releases(void) { return atomic_load(&releases); }

long malloc_count_python_allocations(void) { return atomic_load(&python_allocations); }
