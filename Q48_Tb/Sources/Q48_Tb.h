/**
 * @file Q48_Tb.h
 * @brief libQ48Tb: toolbox of the Q48 printer libraries.
 *
 * Principles of this interface (see also @ref index and @ref q48_threads):
 *  - Every function is a plain C call. None prints, none sets errno on purpose,
 *    none reports errors in any way other than its result: 1/0, a handle or 0,
 *    a pointer or NULL.
 *  - A function without a result does nothing when given a NULL pointer.
 *  - What a function hands out is owned as its comment says. Command objects
 *    are released with Q48_tb_cmd_exit(), sized memory blocks with
 *    Q48_tb_free() (or consumed by Q48_tb_alloc_mem_cat()); the library
 *    information string is a constant nobody frees.
 *  - No function keeps state between calls except the command-object registry,
 *    which is guarded: any thread may call any function, as long as no two
 *    threads use the same object, block or record at once.
 *  - No function blocks or waits, except for the registry's lock. A thread
 *    waiting for it sleeps until the holder lets go, so real-time threads of
 *    different priorities may share the registry on one processor.
 *
 * Time is milliseconds in 32 bits on every host, x86-64 included: every
 * millisecond count wraps modulo 2^32, so both targets behave alike.
 */
#ifndef Q48_TB_H
#define Q48_TB_H

#include <time.h>

/** @name Version of this interface: 1.1.0
 *  @since 1.1.0
 *  @{ */
#define Q48_TB_VERSION_MAJOR 1 /**< Major version: changes break the interface. */
#define Q48_TB_VERSION_MINOR 1 /**< Minor version: changes add to the interface. */
#define Q48_TB_VERSION_PATCH 0 /**< Patch level: changes mend behaviour only. */
/** The three numbers in one int, 0x010100 for 1.1.0, for comparisons in `#if`. */
#define Q48_TB_VERSION                                                                             \
  ((Q48_TB_VERSION_MAJOR << 16) | (Q48_TB_VERSION_MINOR << 8) | Q48_TB_VERSION_PATCH)
/** @} */

/// @cond Q48_INTERNAL
#if defined(__GNUC__)
#define Q48_TB_EXPORT __attribute__((visibility("default")))
#else
#define Q48_TB_EXPORT
#endif
/// @endcond

/**
 * @brief Width in bits of the `time_t` in the `struct timespec` records that
 * the time stamp functions take: the library's, part of its ABI.
 *
 * It is the target's `long`: 32 bits on armhf (Debian 12), 64 on x86-64. A
 * program built with another `time_t`, for example with `-D_TIME_BITS=64` on
 * armhf, would pass records of another size and get corrupted stamps, so
 * this header does not compile there; the library is built with it too.
 *
 * With 32 bits, stamps end at 2038-01-19 03:14:07 UTC. After that the clock
 * no longer fits a stamp: Q48_tb_set_time_stamp() leaves the record as it
 * was, and Q48_tb_calc_age_in_ms() returns 0xFFFFFFFF, so every time-out
 * measured with them ends after its first attempt.
 */
#define Q48_TB_TIME_BITS (8 * (int)sizeof(long))

/// @cond Q48_INTERNAL
#define Q48_TB_TIME_BITS_MATCH (8 * (int)sizeof(time_t) == Q48_TB_TIME_BITS)
#define Q48_TB_TIME_BITS_MESSAGE                                                                   \
  "time_t is not as wide as in libQ48Tb (Q48_TB_TIME_BITS): build without -D_TIME_BITS=64"
#if defined(__cplusplus)
static_assert(Q48_TB_TIME_BITS_MATCH, Q48_TB_TIME_BITS_MESSAGE);
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(Q48_TB_TIME_BITS_MATCH, Q48_TB_TIME_BITS_MESSAGE);
#else
typedef char q48_tb_time_t_differs_from_the_library[Q48_TB_TIME_BITS_MATCH ? 1 : -1];
#endif
/// @endcond

#ifdef __cplusplus
extern "C" {
#endif

/** @name Time stamps and elapsed time
 *  @{ */

/**
 * @brief Takes a time stamp from the real-time clock.
 *
 * CLOCK_REALTIME, so setting the system clock moves every age. libQ48Api
 * measures its own waits on the monotonic clock instead.
 * @param[out] ts_start  Receives the time; NULL: nothing happens.
 * @since 1.0.0
 */
Q48_TB_EXPORT void Q48_tb_set_time_stamp(struct timespec *ts_start);

/**
 * @brief Milliseconds between @p ts_start and now.
 *
 * An absolute distance: a stamp in the future has a positive age too.
 * @param[in] ts_start  A stamp from Q48_tb_set_time_stamp(); only read.
 * @return the age, modulo 2^32 (it wraps after ~49.7 days)
 * @return 0xFFFFFFFF, the largest age, for a NULL stamp or an unreadable
 *         clock, so that every wait measured with it ends instead of
 *         spinning forever
 * @since 1.0.0
 */
Q48_TB_EXPORT unsigned long Q48_tb_calc_age_in_ms(struct timespec *ts_start);

/**
 * @brief *ms = tv_sec * 1000 + tv_nsec / 1000000, modulo 2^32 on every host.
 *
 * 4294968 s gives 704. Sub-millisecond parts are dropped.
 * @param[in]  ts  The time to convert; only read.
 * @param[out] ms  Receives the milliseconds.
 * A NULL argument: nothing is written.
 * @since 1.0.0
 */
Q48_TB_EXPORT void Q48_tb_convert_ts_to_ms(struct timespec *ts, unsigned long *ms);

/**
 * @brief *delta = |*ts1 - *ts2|, whatever their order.
 *
 * Negative nanoseconds borrow one second, once.
 * @param[in]  ts1    One time; only read.
 * @param[in]  ts2    The other time; only read.
 * @param[out] delta  Receives the distance.
 * Any NULL argument: nothing is written.
 * @since 1.0.0
 */
Q48_TB_EXPORT void Q48_tb_get_delta_ts(struct timespec *ts1, struct timespec *ts2,
                                       struct timespec *delta);
/** @} */

/** @name Command objects and coded command text
 *
 * Coded command text is a readable notation of printer bytes (worked
 * examples in @ref q48_coded_text):
 *  - `[1B 40]`: bracketed hexadecimal; blanks never separate two digits
 *  - `"Hi there"`: a quoted run: every byte up to the next quote as it stands
 *  - `\n \r \t \b \f`: escapes; `\x` or `\X` starts hex mode, `\a` or `\A`
 *    ends it; a backslash before any other byte stands for that byte
 *  - `// ...`: a comment: everything after it is ignored, later lines too
 *  - `Hi`: other printable bytes stand for themselves; blanks, tabs, line
 *    ends and other unprintable bytes are skipped.
 *
 * The conversion has no syntax errors; it never yields more bytes than the
 * text has. Two rules surprise: the byte that ends hex mode (anything but
 * a hex digit, a blank, a quote, an escape or a comment, "]" included) is
 * itself consumed, so `[41,42]` gives 41 and then the text `42]`, and
 * `\x1BHello` gives 1B and then `ello`; and a lone last digit is dropped,
 * so `[414]` gives 41 only.
 *
 * A command object is reached by an int handle. Handles come from a registry
 * on every target, so they do not depend on the width of an address: 0 means
 * "no object", and a handle stays valid and distinct from every other live
 * handle until Q48_tb_cmd_exit() releases it. A released handle, or any value
 * no init function returned, is refused: the getters return 0 and write
 * nothing, and Q48_tb_cmd_exit() ignores it, so releasing twice is harmless.
 * Handles lie in 1 .. INT_MAX. A released value comes back only after at
 * least a quarter of a thousand million further objects, never while it is
 * live. Creating, finding and releasing a handle cost the same however many
 * are live, and as many may be live as memory holds (up to some thousand
 * million). Objects may be created, read and released from several threads
 * at once; one object must not be released while another thread still reads
 * it.
 *
 * Sizes are refused with 0 where a buffer (2 * n, 3 * n + 3) would not fit
 * into 32 bits or a count (n, 3 * n + 2) into an int: coded text above
 * INT_MAX bytes, raw input above (INT_MAX - 2) / 3 = 715827881 bytes.
 *  @{ */

/**
 * @brief New command object from coded text.
 *
 * The object keeps its own copy of the text; the caller keeps its buffer.
 * @param[in] cmd_ptr   The coded command text.
 * @param[in] cmd_size  Its length in bytes.
 * @return the handle of the new object, to be released with Q48_tb_cmd_exit()
 * @return 0 for a NULL pointer, a size of 0, a size too large, or an
 *         exhausted heap
 * @since 1.0.0
 */
Q48_TB_EXPORT int Q48_tb_cmd_init_coded(unsigned char *cmd_ptr, unsigned int cmd_size);

/**
 * @brief New command object from raw bytes.
 *
 * Its coded text is the bracketed hexadecimal "[1B 40]" with a terminating
 * NUL, which its coded size of 3 * n + 2 counts. The object keeps its own
 * copy of the bytes.
 * @param[in] cmd_ptr   The raw bytes.
 * @param[in] cmd_size  Their number.
 * @return the handle of the new object, to be released with Q48_tb_cmd_exit()
 * @return 0 for a NULL pointer, a size of 0, a size too large, or an
 *         exhausted heap
 * @since 1.0.0
 */
Q48_TB_EXPORT int Q48_tb_cmd_init_raw(unsigned char *cmd_ptr, unsigned int cmd_size);

/**
 * @brief The object's raw bytes.
 *
 * @param[in]  cmd       Handle from an init function.
 * @param[out] cmd_ptr   Receives the bytes. The pointer stays owned by the
 *                       object and valid until Q48_tb_cmd_exit().
 * @param[out] cmd_size  Receives their number.
 * @return 1 when both are written
 * @return 0, nothing written, for an unknown handle or a NULL out-pointer
 * @since 1.0.0
 */
Q48_TB_EXPORT int Q48_tb_cmd_get_raw(int cmd, unsigned char **cmd_ptr, unsigned int *cmd_size);

/**
 * @brief The object's coded text exactly as given to (or made by) the init
 *        function.
 *
 * @param[in]  cmd       Handle from an init function.
 * @param[out] cmd_ptr   Receives the text; owned as for Q48_tb_cmd_get_raw().
 * @param[out] cmd_size  Receives its length.
 * @return 1 when both are written
 * @return 0, nothing written, for an unknown handle or a NULL out-pointer
 * @since 1.0.0
 */
Q48_TB_EXPORT int Q48_tb_cmd_get_coded(int cmd, unsigned char **cmd_ptr, unsigned int *cmd_size);

/**
 * @brief The object's coded text as a string.
 *
 * It is always NUL-terminated: the object keeps a spare NUL after its copy
 * of the caller's text, which neither the coded size nor
 * Q48_tb_cmd_get_coded() counts. A text that holds a NUL of its own reads as
 * a string up to that NUL.
 * @param[in]  cmd      Handle from an init function.
 * @param[out] ppszStr  Receives the string; owned as for
 *                      Q48_tb_cmd_get_raw().
 * @return 1 when it is written
 * @return 0, nothing written, for an unknown handle or a NULL out-pointer
 * @since 1.0.0
 */
Q48_TB_EXPORT int Q48_tb_cmd_get_coded_str(int cmd, char **ppszStr);

/**
 * @brief Releases the object and both its buffers.
 *
 * @param[in] cmd  Handle from an init function; 0, a released handle or an
 *                 unknown one: nothing happens.
 * @since 1.0.0
 */
Q48_TB_EXPORT void Q48_tb_cmd_exit(int cmd);
/** @} */

/** @name Sized memory blocks, trim, library information
 *
 * A sized memory block is a heap block whose body is preceded by a 4-byte
 * length word on every target; callers hold the body address only and
 * release it with Q48_tb_free(), never with free(). Bodies are 4-byte aligned
 * (not 8 or 16: do not store doubles or vector types in them directly). They
 * are limited to 2^32 - 5 bytes; larger requests give NULL.
 *  @{ */

/**
 * @brief New block of @p size zeroed bytes.
 *
 * @param[in] size  Its length; 0 is a valid, empty block.
 * @return the body, owned by the caller until Q48_tb_free()
 * @return NULL for an exhausted heap or a size beyond 2^32 - 5
 * @since 1.0.0
 */
Q48_TB_EXPORT void *Q48_tb_alloc_mem(unsigned long size);

/**
 * @brief Releases a block.
 *
 * @param[in] mem  A block from this toolbox; NULL: nothing happens.
 * @since 1.0.0
 */
Q48_TB_EXPORT void Q48_tb_free(void *mem);

/**
 * @brief New block holding @p mem's body followed by @p size bytes from
 *        @p data.
 *
 * The old block is consumed in every case, also when NULL is returned:
 * always replace your pointer with the result.
 * @param[in] mem   A block from this toolbox, or NULL.
 * @param[in] data  The bytes to append; with NULL the block still grows by
 *                  @p size bytes of unspecified value.
 * @param[in] size  Their number.
 * @return the new block, owned by the caller until Q48_tb_free()
 * @return NULL for an exhausted heap, or a length beyond 2^32 - 5
 * @since 1.0.0
 */
Q48_TB_EXPORT void *Q48_tb_alloc_mem_cat(void *mem, void *data, unsigned long size);

/**
 * @brief The block's length in bytes.
 *
 * @param[in] mem  A block from this toolbox, or NULL.
 * @return the length
 * @return 0 for NULL
 * @since 1.0.0
 */
Q48_TB_EXPORT unsigned long Q48_tb_alloc_mem_size(void *mem);

/**
 * @brief Removes leading and trailing whitespace in place.
 *
 * Whitespace is isspace of the current locale, each byte taken as unsigned.
 * @param[in,out] s  A writable string; must not be NULL.
 * @return @p s
 * @since 1.0.0
 */
Q48_TB_EXPORT char *Q48_tb_trim(char *s);

/**
 * @brief Names the library and its release.
 *
 * @return the string "Mirelvank - libQ48Tb.so - R3-V1.04 - S507312": the same constant
 *         pointer on every call, owned by the library; neither change nor
 *         free it.
 * @since 1.0.0
 */
Q48_TB_EXPORT char *Q48_tb_get_library_info(void);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* Q48_TB_H */
