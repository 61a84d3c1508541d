/* The checks the two kernel drivers make of a request before they carry it:
 * the I/O-control code, the buffer sizes and every byte of the record that
 * has a fixed value. Plain C without a runtime, so the stand-in driver and
 * the unit tests on Linux run the same code. */
#ifndef KORVALEN_STANDIN_RECORDS_H
#define KORVALEN_STANDIN_RECORDS_H

#ifdef __cplusplus
extern "C" {
#endif

#define STANDIN_IOCTL_HOST_TO_DEVICE 0x222429u
#define STANDIN_IOCTL_DEVICE_TO_HOST 0x22242Eu
#define STANDIN_IOCTL_KS_PROPERTY 0x2F0003u

/* NULL when the request is what the channel's driver takes; otherwise why
 * the driver refuses it. `out` is the caller's data block as the driver got
 * it (NULL when out_len is 0). */
const char* standin_check_request(unsigned int channel, unsigned int code, const unsigned char* in,
                                  unsigned int in_len, const unsigned char* out,
                                  unsigned int out_len);

#ifdef __cplusplus
}
#endif

#endif
