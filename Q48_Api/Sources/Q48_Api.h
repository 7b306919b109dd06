/**
 * @file Q48_Api.h
 * @brief libQ48Api: access to one Q48 printer from a Linux application.
 *
 * Principles of this interface (see also @ref index and @ref q48_threads):
 *  - One printer connection per process. Its state lives in the exported
 *    globals below; the handle that open returns is only the file descriptor
 *    (device-file transport) or the libusb device handle (USB transport).
 *  - A negative handle is one of open's codes. Every function given a
 *    negative handle does nothing and returns 0 (close returns nothing).
 *  - Calls block the calling thread and must not overlap: the library takes
 *    no lock and starts no thread. Every wait is measured on the monotonic
 *    clock, so setting the system clock neither ends nor stretches it, and
 *    a signal that interrupts a wait or a pause (a timer without
 *    SA_RESTART, say) neither ends it early nor restarts it.
 *  - A time-out of 0 ms means one attempt, not "wait for ever" as it does in
 *    libusb and libserialport.
 *  - No function reports errors other than by its result; none sets a global
 *    error variable. With #DEBUG_MESSAGES set to exactly 1 the USB transport
 *    and read print diagnostics to standard output.
 *  - The caller owns every buffer it passes, and the path string, which open
 *    may cut into tokens in place (see Q48_api_printer_open()).
 *
 * Printer paths:
 *  - a path containing "/dev/usb/lp" (case-sensitive) or "/dev/ttyS" (any
 *    case): a device file, transport 1; a ttyS path is set to 115200 8N1 with
 *    hardware flow control;
 *  - a path containing "/dev/bus/usb/": the raw USB device whose bus number
 *    and device address are the 4th and 5th path components, transport 2;
 *  - any other path keeps the transport of the last open that matched.
 *
 * A path containing both line-printer and USB patterns is a device file.
 *
 * Device-file handles: every call of the device-file transport (set_serial,
 * close, clear, write and read) refuses a handle above INT_MAX, which would
 * be cut to some other descriptor, and the handle of a live USB connection;
 * refused means 0, or nothing for close. Any other non-negative descriptor
 * is taken, one that the application opened itself included.
 */
#ifndef Q48_API_H
#define Q48_API_H

#include <stdint.h>

/** @name Version of this interface: 1.1.0
 *  @since 1.1.0
 *  @{ */
#define Q48_API_VERSION_MAJOR 1 /**< Major version: changes break the interface. */
#define Q48_API_VERSION_MINOR 1 /**< Minor version: changes add to the interface. */
#define Q48_API_VERSION_PATCH 0 /**< Patch level: changes mend behaviour only. */
/** The three numbers in one int, 0x010100 for 1.1.0, for comparisons in `#if`. */
#define Q48_API_VERSION                                                                            \
  ((Q48_API_VERSION_MAJOR << 16) | (Q48_API_VERSION_MINOR << 8) | Q48_API_VERSION_PATCH)
/** @} */

/// @cond Q48_INTERNAL
#if defined(__GNUC__)
#define Q48_API_EXPORT __attribute__((visibility("default")))
#else
#define Q48_API_EXPORT
#endif
/// @endcond

#ifdef __cplusplus
extern "C" {
#endif

/** @name Process-wide state (readable and writable by applications)
 *  @{ */

/** 1 switches diagnostic output on; any other value, 2 included, is off.
 *  @since 1.0.0 */
Q48_API_EXPORT extern int DEBUG_MESSAGES;
/** Transport of the most recent open whose path matched a pattern:
 *  0 none yet, 1 device file, 2 USB. Never reset by close.
 *  @since 1.0.0 */
Q48_API_EXPORT extern int communication;
/** USB OUT endpoint address of the most recent USB open (default 0x02).
 *  @since 1.0.0 */
Q48_API_EXPORT extern int Q48_API_ACCESS_WRITE;
/** USB IN endpoint address of the most recent USB open (default 0x81).
 *  @since 1.0.0 */
Q48_API_EXPORT extern int Q48_API_ACCESS_READ;
/** USB interface number of the most recent USB open (default 0).
 *  @since 1.0.0 */
Q48_API_EXPORT extern int Q48_API_INTERFACE;
/** USB IN packet size of the most recent USB open (default 64).
 *  @since 1.0.0 */
Q48_API_EXPORT extern int Q48_API_ACCESS_READ_ENDPOINT_SIZE;
/** The USB receive ring: 1024 bytes of storage, NULL while no USB connection
 *  is open. It holds at most 1023 bytes. The library owns the storage: it is
 *  allocated by a USB open and freed by close or the next open, so an
 *  application neither frees it nor keeps its address.
 *  @since 1.0.0 */
Q48_API_EXPORT extern unsigned char *m_pub_rx_buffer;
/** Read index of the receive ring #m_pub_rx_buffer; the ring is empty when
 *  it equals #m_index_rx_top.
 *  @since 1.0.0 */
Q48_API_EXPORT extern int m_index_rx_bottom;
/** Write index of the receive ring #m_pub_rx_buffer.
 *  @since 1.0.0 */
Q48_API_EXPORT extern int m_index_rx_top;
/** @} */

/** @name Codes of Q48_api_printer_open()
 *  What each negative result of open means; the function's description
 *  refers here.
 *  @since 1.0.0
 *  @{ */
/** The device file cannot be opened (errno says why). USB: the device list
 *  cannot be read, libusb cannot initialise its context, the device cannot be
 *  opened, or it was unplugged before its interface could be claimed (said at
 *  once, not after the claim's second). */
#define Q48_API_OPEN_FAILED (-1)
/** NULL path, no transport for the path, no USB device at that bus and
 *  address, or a device that is not this maker's printer. */
#define Q48_API_NO_PRINTER (-2)
/** A kernel driver holds the USB interface and cannot be detached. */
#define Q48_API_DETACH_FAILED (-3)
/** The USB interface stayed busy for 1000 ms: another program holds it. */
#define Q48_API_CLAIM_TIMEOUT (-4)
/** The active USB configuration descriptor cannot be read. */
#define Q48_API_NO_CONFIG (-5)
/** The first USB interface has no alternate setting. */
#define Q48_API_NO_ALTSETTING (-6)
/** An alternate setting of that interface has fewer than two endpoints. */
#define Q48_API_TOO_FEW_ENDPOINTS (-7)
/** No memory for the receive ring. */
#define Q48_API_NO_MEMORY (-8)
/** @} */

/** @name Codes of Q48_api_printer_read() over USB
 *  What each negative result of a USB read means.
 *  @since 1.1.0
 *  @{ */
#define Q48_API_READ_NO_MEMORY (-1) /**< The per-call scratch buffer cannot be allocated. */
#define Q48_API_READ_RING_FULL (-2) /**< One more packet would fill the ring's last free slot. */
#define Q48_API_READ_NO_ROOM (-3)   /**< The ring's free space is less than one packet. */
/** @} */

/**
 * @brief Names the library and its release.
 *
 * Does not block.
 * @return the string "Mirelvank - libQ48Api - R3-V1.03a - S507312": the same constant
 *         pointer on every call, owned by the library; neither change nor
 *         free it.
 * @since 1.0.0
 */
Q48_API_EXPORT char *Q48_api_get_library_info(void);

/**
 * @brief Opens the printer named by @p port.
 *
 * Device files are opened O_RDWR | O_EXCL | O_NOCTTY. A device-file open
 * first ends a USB connection that is still open, as a USB open does.
 *
 * USB: finds the device at the path's bus and address, selects
 * configuration 1, takes the endpoints and the IN packet size from the first
 * interface into the globals above, detaches a kernel driver, claims the
 * interface (retrying every 100 ms, blocking for up to about one second
 * while it is busy), checks vendor 0x2F7A and product 1 and sets up an
 * empty receive ring. A failure leaves nothing of the attempt behind (no
 * claim, no open device, no libusb context) except the endpoint globals
 * learnt so far and a kernel driver that stays detached.
 *  - One USB connection per process: a USB open first ends the connection
 *    that an earlier USB open left open, as close would, whatever it then
 *    finds. The earlier handle is dead from then on, and every call refuses
 *    it like a closed one.
 *  - The interface number is the index of the first interface's alternate
 *    setting: 0 for this printer, which has a single alternate setting.
 *    Every alternate setting must offer two endpoints (else -7); the last
 *    IN and OUT endpoints found win. Other devices are not provided for.
 *  - The handle is the address of the libusb device handle. Where an address
 *    could read as a negative number (32-bit systems with memory above
 *    2 GiB), that device is refused with -1 rather than returned as a code.
 *
 * @param[in,out] port  The printer path, a writable NUL-terminated string
 *        owned by the caller. A USB path is cut into tokens in place with
 *        strtok, after which @p port reads only up to its first component
 *        ("/dev"). Pass a copy if you need the path afterwards.
 * @return the printer handle (>= 0), to be ended with Q48_api_printer_close()
 * @return #Q48_API_OPEN_FAILED (-1) to #Q48_API_NO_MEMORY (-8): the codes
 *         under "Codes of Q48_api_printer_open()"
 * @since 1.0.0
 */
Q48_API_EXPORT intptr_t Q48_api_printer_open(char *port);

/**
 * @brief Sets up the serial line of a device-file connection.
 *
 * Always 8 data bits, hardware flow control, raw mode; a read returns after
 * 0.1 s of silence. Pending input is discarded. Open applies 115200 8N1 to a
 * ttyS path this way and ignores the result. The port keeps these settings
 * after close. Does not wait for the line.
 *
 * @param[in] printer    Handle from Q48_api_printer_open().
 * @param[in] baud_rate  2400, 4800, 9600, 19200, 38400, 57600 or 115200;
 *                       anything else is 115200.
 * @param[in] data_bits  Ignored: always 8.
 * @param[in] parity     'O'/'o' odd, 'E'/'e' even, anything else none.
 * @param[in] stop_bits  2, or else 1.
 * @return 1 when the settings are applied
 * @return 1 without touching the device while the transport is not the
 *         device file
 * @return 0 for a negative handle, or one refused as a device-file handle
 *         (see the file description)
 * @return 0 when the device refuses them (tcsetattr fails: not a terminal,
 *         or a closed descriptor)
 * @since 1.0.0
 */
Q48_API_EXPORT int Q48_api_printer_set_serial(intptr_t printer, unsigned long baud_rate,
                                              unsigned char data_bits, unsigned char parity,
                                              unsigned char stop_bits);

/**
 * @brief Ends the connection.
 *
 * A negative handle: nothing happens. The transport stays as it was. Does
 * not wait for the printer.
 * USB: releases the interface, closes the device, frees the receive ring
 * (#m_pub_rx_buffer becomes NULL, both indices 0) and ends the libusb
 * context; a kernel driver detached by open stays detached. A handle that is
 * not the open connection (closed already, or ended by a later open) is left
 * alone, so closing twice is harmless. A USB open never returns the value of
 * the handle whose connection ended last, even where the memory comes back,
 * so that handle stays dead across the next open too.
 * A device file that open returned is closed even after a later USB open
 * (descriptors up to 65535); while the transport is USB, any other
 * descriptor is left to its owner.
 *
 * @param[in] printer  Handle from Q48_api_printer_open(); dead afterwards.
 * @since 1.0.0
 */
Q48_API_EXPORT void Q48_api_printer_close(intptr_t printer);

/**
 * @brief Discards pending input.
 *
 * Either transport returns within about 1000 ms, however much the printer
 * sends.
 * Device file: reads until the device has been silent for 100 ms.
 * USB: waits up to 500 ms for a transfer that brings bytes (about 550 ms on
 * a silent printer); once bytes come, it reads on until a transfer brings
 * none, so nothing of a long pending answer is left for the next read. Then
 * it empties the receive ring. Each transfer asks for 256 bytes, or one
 * packet where packets are larger.
 *
 * @param[in] printer  Handle from Q48_api_printer_open().
 * @return 1 on an open transport, whatever the reads brought
 * @return 0 for a negative handle or when no transport is chosen
 * @return 0 without a transfer for a USB handle that is not the open
 *         connection
 * @since 1.0.0
 */
Q48_API_EXPORT int Q48_api_printer_clear(intptr_t printer);

/**
 * @brief Sends @p size bytes from @p data within @p timeout_ms milliseconds.
 *
 * At least one attempt is made, exactly one with @p timeout_ms 0.
 * Device file: the call waits for the device with poll(2), never longer than
 * the time left, so it returns within @p timeout_ms plus one 10 ms step even
 * on a device that blocks; the descriptor stays blocking between calls.
 * USB: one bulk transfer of everything not yet sent per pass, each waiting at
 * most 100 ms, so the call may overrun @p timeout_ms by about 110 ms. A
 * transfer cut short (time-out, stall, unplug) still counts the bytes that
 * libusb reports as sent, and the next pass starts after them: no byte is
 * sent twice and the result never exceeds @p size.
 *
 * @param[in] printer     Handle from Q48_api_printer_open().
 * @param[in] data        The bytes, owned by the caller; only read.
 * @param[in] size        Their number.
 * @param[in] timeout_ms  Time-out in milliseconds on the monotonic clock.
 * @return the number of bytes sent, @p size when all went through
 * @return less than @p size when the time ran out
 * @return 0 for a negative handle, NULL @p data, or @p size 0 or negative
 * @return 0 for a USB handle that is not the open connection
 * @since 1.0.0
 */
Q48_API_EXPORT int Q48_api_printer_write(intptr_t printer, unsigned char *data, int size,
                                         unsigned long timeout_ms);

/**
 * @brief Receives @p size bytes into @p data within @p timeout_ms
 *        milliseconds.
 *
 * Checks and time-outs as for Q48_api_printer_write().
 * USB: takes one IN packet per transfer (100 ms each) into the receive
 * ring; a ring that holds @p size bytes already answers at once, without a
 * transfer, and at the time-out the bytes stay in the ring for the next
 * read. A transfer is made only while the ring has room for a whole packet
 * of #Q48_API_ACCESS_READ_ENDPOINT_SIZE bytes; otherwise the call returns at
 * once with a code, the ring unchanged and the rest of the answer still with
 * the printer, so a following smaller read gets every byte in order. The
 * largest request that can always be met is 1024 - packet size: 960 bytes
 * with 64-byte packets, 512 with 512-byte packets. The ring keeps what it
 * held in every case. With #DEBUG_MESSAGES 1 it prints
 * `"\n Start of reading = <size> \n"` first.
 *
 * @param[out] data       Receives the bytes; owned by the caller, at least
 *                        @p size bytes.
 * @param[in]  printer    Handle from Q48_api_printer_open().
 * @param[in]  size       Number of bytes wanted.
 * @param[in]  timeout_ms Time-out in milliseconds on the monotonic clock.
 * @return device file: the number of bytes received, up to @p size
 * @return USB: @p size once @p size bytes have arrived
 * @return USB: 0 at the time-out
 * @return 0 for a negative handle, NULL @p data, @p size 0 or negative, or
 *         a USB handle that is not the open connection
 * @return USB: #Q48_API_READ_NO_MEMORY (-1), #Q48_API_READ_RING_FULL (-2)
 *         or #Q48_API_READ_NO_ROOM (-3), the codes under "Codes of
 *         Q48_api_printer_read() over USB"
 * @since 1.0.0
 */
Q48_API_EXPORT int Q48_api_printer_read(intptr_t printer, unsigned char *data, int size,
                                        unsigned long timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* Q48_API_H */
