/*
 * libQ48Tb - toolbox of the Q48 printer libraries.
 *
 * Principles of this interface:
 *  - Every function is a plain C call. None prints, none sets errno on purpose,
 *    none reports errors in any way other than its result: 1/0, a handle or 0,
 *    a pointer or NULL.
 *  - A function without a result does nothing when given a NULL pointer.
 *  - What a function hands out is owned as its comment says. Command objects
 *    are released with Q48_tb_cmd_exit, sized memory blocks with Q48_tb_free
 *    (or consumed by Q48_tb_alloc_mem_cat); the library information string is
 *    a constant nobody frees.
 *  - No function keeps state between calls except the command-object registry,
 *    which is guarded: any thread may call any function, as long as no two
 *    threads use the same object, block or record at once.
 *
 * Time is milliseconds in 32 bits on every host, x86-64 included: every
 * millisecond count wraps modulo 2^32, so both targets behave alike.
 */
#ifndef Q48_TB_H
#define Q48_TB_H

#include <time.h>

/* Version of this interface: 1.1.0. */
#define Q48_TB_VERSION_MAJOR 1
#define Q48_TB_VERSION_MINOR 1
#define Q48_TB_VERSION_PATCH 0
#define Q48_TB_VERSION                                                                             \
  ((Q48_TB_VERSION_MAJOR << 16) | (Q48_TB_VERSION_MINOR << 8) | Q48_TB_VERSION_PATCH)

#if defined(__GNUC__)
#define Q48_TB_EXPORT __attribute__((visibility("default")))
#else
#define Q48_TB_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Time stamps and elapsed time ------------------------------------- */

/* Fills *ts_start from the real-time clock (CLOCK_REALTIME, so setting the
 * system clock moves every age). NULL: nothing happens. libQ48Api measures
 * its own waits on the monotonic clock instead. */
Q48_TB_EXPORT void Q48_tb_set_time_stamp(struct timespec *ts_start);

/* Milliseconds between *ts_start and now, as an absolute distance: a stamp in
 * the future has a positive age too. Wraps modulo 2^32 (after ~49.7 days).
 * A NULL stamp or an unreadable clock gives 0xFFFFFFFF, the largest age, so
 * that every wait measured with it ends instead of spinning forever. */
Q48_TB_EXPORT unsigned long Q48_tb_calc_age_in_ms(struct timespec *ts_start);

/* *ms = tv_sec * 1000 + tv_nsec / 1000000, taken modulo 2^32 on every host
 * (4294968 s gives 704). Sub-millisecond parts are dropped. A NULL argument:
 * nothing is written. */
Q48_TB_EXPORT void Q48_tb_convert_ts_to_ms(struct timespec *ts, unsigned long *ms);

/* *delta = |*ts1 - *ts2|, whatever their order; negative nanoseconds
 * borrow one second, once.
 * ts1 and ts2 are only read. Any NULL argument: nothing is written. */
Q48_TB_EXPORT void Q48_tb_get_delta_ts(struct timespec *ts1, struct timespec *ts2,
                                       struct timespec *delta);

/* ---- Command objects and coded command text --------------------------- */

/* Coded command text is a readable notation of printer bytes:
 *   [1B 40]     bracketed hexadecimal; blanks never separate two digits
 *   "Hi there"  a quoted run: every byte up to the next quote as it stands
 *   \n \r \t \b \f   escapes; \x or \X starts hex mode, \a or \A ends it;
 *               a backslash before any other byte stands for that byte
 *   // ...      a comment: everything after it is ignored, later lines too
 *   Hi          other printable bytes stand for themselves; blanks, tabs,
 *               line ends and other unprintable bytes are skipped.
 * The conversion has no syntax errors; it never yields more bytes than the
 * text has. Two rules surprise: the byte that ends hex mode (anything but
 * a hex digit, a blank, a quote, an escape or a comment, "]" included) is
 * itself consumed, so "[41,42]" gives 41 and then the text "42]", and
 * "\x1BHello" gives 1B and then "ello"; and a lone last digit is dropped,
 * so "[414]" gives 41 only.
 *
 * A command object is reached by an int handle. Handles come from a registry
 * on every target, so they do not depend on the width of an address: 0 means
 * "no object", and a handle stays valid and distinct from every other live
 * handle until Q48_tb_cmd_exit releases it. A released handle, or any value
 * no init function returned, is refused: the getters return 0 and write
 * nothing, and Q48_tb_cmd_exit ignores it, so releasing twice is harmless.
 * Handles lie in 1 .. INT_MAX. They are drawn from four counters (one per
 * group of processors, folded into the handle's low bits) that skip values
 * still live when they wrap, so a released value comes back only after at
 * least a quarter of a thousand million further objects. Creating, finding
 * and releasing a handle cost the same however many are live. The registry
 * is the only state the toolbox keeps, guarded by one lock per group;
 * lookups take no lock. Its size is limited by memory (and by some thousand
 * million live objects). Objects may be created, read and released from
 * several threads at once; one object must not be released while another
 * thread still reads it.
 *
 * Sizes are refused with 0 where a buffer (2 * n, 3 * n + 3) would not fit
 * into 32 bits or a count (n, 3 * n + 2) into an int: coded text above
 * INT_MAX bytes, raw input above (INT_MAX - 2) / 3 = 715827881 bytes. */

/* New object from cmd_size bytes of coded text at cmd_ptr (the object keeps
 * its own copy). Returns its handle, or 0 for a NULL pointer, a size of 0, a
 * size too large, or an exhausted heap. */
Q48_TB_EXPORT int Q48_tb_cmd_init_coded(unsigned char *cmd_ptr, unsigned int cmd_size);

/* New object from cmd_size raw bytes at cmd_ptr. Its coded text is the
 * bracketed hexadecimal "[1B 40]" with a terminating NUL, which its coded
 * size of 3 * n + 2 counts. Returns the handle or 0, as above. */
Q48_TB_EXPORT int Q48_tb_cmd_init_raw(unsigned char *cmd_ptr, unsigned int cmd_size);

/* *cmd_ptr = the object's raw bytes, *cmd_size = their number. The pointer
 * stays owned by the object and valid until Q48_tb_cmd_exit. Returns 1, or 0
 * (nothing written) for an unknown handle or a NULL out-pointer. */
Q48_TB_EXPORT int Q48_tb_cmd_get_raw(int cmd, unsigned char **cmd_ptr, unsigned int *cmd_size);

/* *cmd_ptr = the object's coded text exactly as given to (or made by) the
 * init function, *cmd_size = its length. Results and ownership as for
 * Q48_tb_cmd_get_raw. */
Q48_TB_EXPORT int Q48_tb_cmd_get_coded(int cmd, unsigned char **cmd_ptr, unsigned int *cmd_size);

/* *ppszStr = the object's coded text as a string. It is always
 * NUL-terminated: the object keeps a spare NUL after its copy of the caller's
 * text, which neither the coded size nor Q48_tb_cmd_get_coded counts. A text
 * that holds a NUL of its own reads as a string up to that NUL. Results and
 * ownership as for Q48_tb_cmd_get_raw. */
Q48_TB_EXPORT int Q48_tb_cmd_get_coded_str(int cmd, char **ppszStr);

/* Releases the object and both its buffers. 0, a released handle or an
 * unknown one: nothing happens. */
Q48_TB_EXPORT void Q48_tb_cmd_exit(int cmd);

/* ---- Sized memory blocks, trim, library information ------------------- */

/* A sized memory block is a heap block whose body is preceded by a 4-byte
 * length word on every target; callers hold the body address only and
 * release it with Q48_tb_free, never with free(). Bodies are 4-byte aligned
 * (not 8 or 16: do not store doubles or vector types in them directly). They
 * are limited to 2^32 - 5 bytes; larger requests give NULL. */

/* New block of size zeroed bytes (size 0 is a valid, empty block), or NULL. */
Q48_TB_EXPORT void *Q48_tb_alloc_mem(unsigned long size);

/* Releases a block. NULL: nothing happens. */
Q48_TB_EXPORT void Q48_tb_free(void *mem);

/* New block holding mem's body followed by size bytes from data; with data
 * NULL the block still grows by size bytes of unspecified value. mem may be
 * NULL. The old block is consumed in every case, also when NULL is returned
 * (exhausted heap, or a length beyond 2^32 - 5): always replace your pointer
 * with the result. */
Q48_TB_EXPORT void *Q48_tb_alloc_mem_cat(void *mem, void *data, unsigned long size);

/* The block's length in bytes, or 0 for NULL. */
Q48_TB_EXPORT unsigned long Q48_tb_alloc_mem_size(void *mem);

/* Removes leading and trailing whitespace (isspace of the current locale,
 * each byte taken as unsigned) from the writable string s, in place, and
 * returns s. s must not be NULL. */
Q48_TB_EXPORT char *Q48_tb_trim(char *s);

/* "Mirelvank - libQ48Tb.so - R3-V1.04 - S507312": the same constant pointer
 * on every call; neither change nor free it. */
Q48_TB_EXPORT char *Q48_tb_get_library_info(void);

#ifdef __cplusplus
}
#endif

#endif /* Q48_TB_H */
