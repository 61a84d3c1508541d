#include "StandinRecords.h"

#include "StandinProtocol.h"

/* The audio driver's vendor property set, in its binary layout. */
static const unsigned char kPropertySet[16] = {0x4d, 0xc0, 0xd7, 0xf6, 0xc3, 0xc5, 0x81, 0x41,
                                               0x9e, 0xd7, 0x50, 0x4a, 0xbe, 0x0c, 0xdd, 0xff};
enum {
  kRecordSize = 24,
  kPropertyHeaderSize = 24,
  kPropertyDataOffset = 40,
  kPropertyIdPresence = 0,
  kPropertyIdTransfer = 7,
  kFlagGet = 0x1,
  kFlagSet = 0x2,
  kFlagSetSupport = 0x100,
  kPropertyTypeByte = 0x20,
  kDescriptorLength = 18,
};

static unsigned int get16(const unsigned char* b) { return b[0] | (unsigned int)b[1] << 8; }
static unsigned int get32(const unsigned char* b) {
  return b[0] | (unsigned int)b[1] << 8 | (unsigned int)b[2] << 16 | (unsigned int)b[3] << 24;
}
static int all_zero(const unsigned char* b, unsigned int from, unsigned int to) {
  for (; from < to; ++from)
    if (b[from] != 0) return 0;
  return 1;
}

static const char* check_setup_record(unsigned int code, const unsigned char* in,
                                      unsigned int in_len, unsigned int out_len) {
  unsigned int setup_length;
  if (code != STANDIN_IOCTL_HOST_TO_DEVICE && code != STANDIN_IOCTL_DEVICE_TO_HOST)
    return "not an I/O-control code of the firmware-update driver";
  if (in_len != kRecordSize) return "the setup record is not 24 bytes";
  if (!all_zero(in, 0, 4)) return "setup record bytes 0-3 are not zero";
  if (!all_zero(in, 12, kRecordSize)) return "setup record bytes 12-23 are not zero";
  if (((in[4] & 0x80) != 0) != (code == STANDIN_IOCTL_DEVICE_TO_HOST))
    return "bmRequestType's direction contradicts the I/O-control code";
  if (out_len > STANDIN_MAX_DATA) return "data block longer than a control transfer carries";
  setup_length = get16(in + 10);
  if (setup_length != 0) {
    /* Only the device descriptor request names its length in the record. */
    if (in[4] != 0x80 || in[5] != 6 || get16(in + 6) != 0x0100)
      return "a setup length other than 0 in a vendor request";
    if (setup_length != kDescriptorLength || out_len != kDescriptorLength)
      return "the descriptor request does not ask for 18 bytes into 18";
  }
  return 0;
}

static const char* check_property_block(unsigned int code, const unsigned char* in,
                                        unsigned int in_len, const unsigned char* out,
                                        unsigned int out_len) {
  unsigned int i, id, flags, length;
  if (code != STANDIN_IOCTL_KS_PROPERTY) return "not the kernel-streaming property request";
  if (in_len < kPropertyHeaderSize) return "the property block is shorter than its header";
  for (i = 0; i < 16; ++i)
    if (in[i] != kPropertySet[i]) return "not the vendor property set";
  id = get32(in + 16);
  flags = get32(in + 20);
  if (id == kPropertyIdPresence) {
    if (flags != kFlagSetSupport) return "property 0 without the set-support flag";
    if (in_len != kPropertyHeaderSize || out_len != 0)
      return "the presence query is not the bare 24-byte header";
    return 0;
  }
  if (id != kPropertyIdTransfer) return "a property id this driver does not serve";
  if (flags != kFlagGet && flags != kFlagSet) return "property 7 with flags other than get or set";
  if (in_len < 48) return "the property block is shorter than 48 bytes";
  length = get32(in + 36);
  if (length > STANDIN_MAX_DATA) return "data length longer than a control transfer carries";
  if (in_len != (length == 0 ? 48u : length + 47u))
    return "the block size is not the data length + 47 (48 when empty)";
  if (out_len != length) return "the output buffer is not the data length";
  if (in[24] != kPropertyTypeByte) return "byte 24 of the property block is not 0x20";
  if (!all_zero(in, 30, 36)) return "property block bytes 30-35 are not zero";
  if (!all_zero(in, kPropertyDataOffset + length, in_len))
    return "bytes after the data copy are not zero";
  for (i = 0; i < length; ++i)
    if (in[kPropertyDataOffset + i] != out[i])
      return "the block's data is not a copy of the caller's data block";
  return 0;
}

const char* standin_check_request(unsigned int channel, unsigned int code,
                                  const unsigned char* in, unsigned int in_len,
                                  const unsigned char* out, unsigned int out_len) {
  if (in_len != 0 && in == 0) return "no input buffer";
  if (out_len != 0 && out == 0) return "no output buffer";
  if (channel == STANDIN_CHANNEL_AUDIO) return check_property_block(code, in, in_len, out, out_len);
  return check_setup_record(code, in, in_len, out_len);
}
