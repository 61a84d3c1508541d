/* What the stand-in driver (standin.sys), its user-mode server and its tools
 * share: the bus device's control interface, its control codes, and the
 * messages that carry each request of a child device over the named pipe.
 * Plain C: the driver is built without a C runtime. */
#ifndef KORVALEN_STANDIN_PROTOCOL_H
#define KORVALEN_STANDIN_PROTOCOL_H

/* The two interface classes a child publishes: the system's USB device
 * interface class (firmware-update identities) and the audio driver's class
 * (models). */
#define STANDIN_GUID_USB_INIT                                                      \
  {                                                                                \
    0xa5dcbf10, 0x6530, 0x11d2, { 0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed } \
  }
#define STANDIN_GUID_AUDIO_INIT                                                    \
  {                                                                                \
    0x50894fa4, 0x9206, 0x4a91, { 0x87, 0x28, 0xcf, 0x6f, 0x26, 0x8f, 0x27, 0x1d } \
  }
/* The bus device's own control interface: plug, unplug, pipe, counters. */
#define STANDIN_GUID_CONTROL_INIT                                                  \
  {                                                                                \
    0x3f6c2a91, 0x7d41, 0x4e8b, { 0x9a, 0x57, 0x1c, 0x0e, 0x64, 0xd2, 0xb8, 0x35 } \
  }

/* The root device the tool installs; the INF matches its hardware id. Its
 * instance names no USB identity, so no link search ever matches it. */
#define STANDIN_HARDWARE_ID "ROOT\\KORVALEN_STANDIN"
#define STANDIN_INSTANCE_ID "ROOT\\KORVALEN_STANDIN\\0000"

#define STANDIN_CTL_CODE(function) ((0x8000u << 16) | ((function) << 2) | 0u /* buffered */)
#define IOCTL_STANDIN_PLUG STANDIN_CTL_CODE(0x801)   /* in: standin_plug; out: ULONG slot */
#define IOCTL_STANDIN_UNPLUG STANDIN_CTL_CODE(0x802) /* in: ULONG slot */
#define IOCTL_STANDIN_PIPE STANDIN_CTL_CODE(0x803)   /* in: WCHAR pipe path; empty = none */
#define IOCTL_STANDIN_COUNTS STANDIN_CTL_CODE(0x804) /* out: standin_counts */

/* The channel a child is served on, as the link names them. */
#define STANDIN_CHANNEL_DEVICE_INTERFACE 0u /* 24-byte record, 0x222429 / 0x22242E */
#define STANDIN_CHANNEL_AUDIO 1u            /* property block, 0x2F0003 */

#define STANDIN_MAX_CHILDREN 8
/* The largest data stage a USB control transfer has (wLength), and so the
 * largest block either channel carries besides its header. */
#define STANDIN_MAX_DATA 0xFFFFu

struct standin_plug {
  unsigned int vid, pid;
  unsigned int interface_number; /* 0xffffffff: a device without "&mi_xx" */
  unsigned int serial;           /* makes the instance id of the child */
  unsigned int channel;          /* STANDIN_CHANNEL_... */
};

struct standin_counts {
  unsigned int requests;  /* data requests that reached a child */
  unsigned int malformed; /* of those, records the checks refused */
  unsigned int forwarded; /* handed to the server */
  unsigned int pipe_failures;
};

/* Pipe messages (message mode). The request is followed by in_len record
 * bytes, then out_len bytes: the caller's data block as it was passed. */
struct standin_pipe_request {
  unsigned int slot, code, in_len, out_len;
};
/* The reply: an NTSTATUS, the bytes to give back (followed by them), and
 * whether the device has gone (the driver then drops the child). */
#define STANDIN_REPLY_DEVICE_GONE 0x1u
struct standin_pipe_reply {
  unsigned int status, out_len, flags;
};

#endif
