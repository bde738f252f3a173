/* Preloaded into 32-bit Wine under qemu-user 7.2 (scripts/run-i686), which takes
   MAP_FIXED_NOREPLACE as a bare hint: a mapping that cannot have its address fails with
   EEXIST at once instead of landing elsewhere. Freestanding (raw system calls, errno through
   the C library); every other call is the C library's. */
typedef unsigned int size_t;
typedef long off_t;
typedef long long off64_t;
#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
extern int *__errno_location(void);

static long sys2(long n, long a, long b) {
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(n), "b"(a), "c"(b) : "memory");
    return r;
}

static void *do_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t off) {
    /* The old mmap call: its six arguments in memory, the offset in bytes. */
    long args[6] = {(long)addr, (long)len, prot, flags, fd, (long)off};
    long r = sys2(90 /* mmap */, (long)args, 0);
    if ((unsigned long)r > 0xfffff000UL) {
        *__errno_location() = (int)-r;
        return (void *)-1;
    }
    if ((flags & MAP_FIXED_NOREPLACE) && addr && (void *)r != addr) {
        sys2(91 /* munmap */, r, (long)len);
        *__errno_location() = EEXIST;
        return (void *)-1;
    }
    return (void *)r;
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    return do_mmap(addr, len, prot, flags, fd, off);
}
void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) {
    return do_mmap(addr, len, prot, flags, fd, off);
}
