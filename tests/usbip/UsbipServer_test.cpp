// The USB/IP server as a host's virtual host controller meets it: device
// list, import, descriptors, vendor requests through to the chip, a vanishing
// device dropping the connection, and headers that are malformed.
#include "usbip/UsbipServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <thread>
#include <vector>

#include "link/NorvaneUsb.h"
#include "sim/FaultSpec.h"
#include "sim/VirtualClock.h"
#include "usbip/UsbipProtocol.h"

namespace korvalen::usbip {
namespace {

constexpr uint8_t kReadRegister = 0x91;
constexpr uint8_t kWriteRegister = 0x90;
constexpr uint16_t kMailboxData = 150;  // a plain register of bank 0

// The answer to one submitted URB as the host reads it.
struct Ret {
  bool received = false;
  int32_t status = 0;
  std::vector<uint8_t> data;
};

// A minimal host: raw bytes on a socket, written here independently of the
// server's own encoding so the two cannot share a mistake.
class Host {
 public:
  explicit Host(uint16_t port) : fd_(ConnectLoopback(port)) {
    timeval limit{2, 0};  // a test that waits for an answer never hangs
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~Host() {
    if (fd_ >= 0) close(fd_);
  }
  bool Send(const std::vector<uint8_t>& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Exactly n bytes, or fewer when the server closes (or stays silent).
  std::vector<uint8_t> Receive(size_t n) {
    std::vector<uint8_t> out(n);
    size_t done = 0;
    while (done < n) {
      const ssize_t r = recv(fd_, out.data() + done, n - done, 0);
      if (r <= 0) break;
      done += static_cast<size_t>(r);
    }
    out.resize(done);
    return out;
  }
  // True when the server has closed its end.
  bool Closed() {
    uint8_t byte;
    return recv(fd_, &byte, 1, 0) == 0;
  }
  bool ImportDevice() {
    std::vector<uint8_t> request = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0};
    request.resize(8 + 32);
    request[8] = '1';
    request[9] = '-';
    request[10] = '1';
    if (!Send(request)) return false;
    const auto reply = Receive(8 + 312);
    return reply.size() == 320 && reply[2] == 0x00 && reply[3] == 0x03 && reply[7] == 0;
  }
  Ret Control(std::array<uint8_t, 8> setup, std::vector<uint8_t> out = {}) {
    const bool in = (setup[0] & 0x80) != 0;
    const uint32_t length = in ? static_cast<uint32_t>(setup[6] | setup[7] << 8)
                               : static_cast<uint32_t>(out.size());
    std::vector<uint8_t> h(48, 0);
    Put32(std::span(h).subspan(0), 1);  // CMD_SUBMIT
    Put32(std::span(h).subspan(4), ++seqnum_);
    Put32(std::span(h).subspan(8), 0x00010002);
    Put32(std::span(h).subspan(12), in ? 1 : 0);
    Put32(std::span(h).subspan(24), length);
    Put32(std::span(h).subspan(32), 0xFFFFFFFF);
    std::copy(setup.begin(), setup.end(), h.begin() + 40);
    h.insert(h.end(), out.begin(), out.end());
    Ret ret;
    if (!Send(h)) return ret;
    const auto reply = Receive(48);
    if (reply.size() != 48) return ret;
    EXPECT_EQ(Get32(std::span(reply).subspan(0)), 3u) << "RET_SUBMIT";
    EXPECT_EQ(Get32(std::span(reply).subspan(4)), seqnum_) << "answers the URB it was asked";
    ret.received = true;
    ret.status = static_cast<int32_t>(Get32(std::span(reply).subspan(20)));
    const uint32_t actual = Get32(std::span(reply).subspan(24));
    if (in) ret.data = Receive(actual);
    return ret;
  }
  Ret ReadRegister(uint16_t reg) { return Control({0xC3, kReadRegister, 0, 0, Lo(reg), 0, 1, 0}); }
  Ret WriteRegister(uint16_t reg, uint8_t value) {
    return Control({0x43, kWriteRegister, 0, 0, Lo(reg), 0, 1, 0}, {value});
  }
  Ret GetDescriptor(uint8_t type, uint16_t length) {
    return Control({0x80, 0x06, 0, type, 0, 0, Lo(length), static_cast<uint8_t>(length >> 8)});
  }
  uint32_t seqnum() const { return seqnum_; }

 private:
  static uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v); }
  int fd_;
  uint32_t seqnum_ = 0;
};

class UsbipServerTest : public ::testing::Test {
 protected:
  // Serves one connection of a chip of this identity on a fresh port.
  void Serve(const sim::SimIdentity& identity, const char* fault = nullptr) {
    chip_ = sim::MakeSimDevice(clock_, identity);
    if (fault) sim::ApplyFaultSpecs(sim::ParseFaultSpec(fault).specs, *chip_);
    device_ = std::make_unique<SimUsbDevice>(chip_);
    server_ = std::make_unique<UsbipServer>(*device_);
    std::string error;
    listener_ = ListenLoopback(0, &port_, &error);
    ASSERT_GE(listener_, 0) << error;
    thread_ = std::thread([this] {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd >= 0) ended_ = server_->ServeConnection(fd);
    });
  }
  // Waits for the server to finish its connection (the host closed first
  // where the test did not make the server end it).
  std::string Ended() {
    if (thread_.joinable()) thread_.join();
    return ended_;
  }
  void TearDown() override {
    if (thread_.joinable()) {
      // Unblocks an accept that no host came for.
      shutdown(listener_, SHUT_RDWR);
      thread_.join();
    }
    if (listener_ >= 0) close(listener_);
  }

  sim::VirtualClock clock_;
  std::shared_ptr<sim::SimDevice> chip_;
  std::unique_ptr<SimUsbDevice> device_;
  std::unique_ptr<UsbipServer> server_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::string ended_;
};

TEST_F(UsbipServerTest, DeviceListNamesTheIdentityAndItsInterfaces) {
  Serve(sim::kSimTide);
  Host host(port_);
  ASSERT_TRUE(host.Send({0x01, 0x11, 0x80, 0x05, 0, 0, 0, 0}));
  const auto reply = host.Receive(8 + 4 + 312 + 2 * 4);
  ASSERT_EQ(reply.size(), 8u + 4 + 312 + 8);
  EXPECT_EQ(Get16(std::span(reply).subspan(2)), kOpRepDevlist);
  EXPECT_EQ(Get32(std::span(reply).subspan(8)), 1u) << "one device";
  const auto record = std::span(reply).subspan(12);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data() + 256)), "1-1");
  EXPECT_EQ(Get32(record.subspan(296)), kSpeedHigh);
  EXPECT_EQ(Get16(record.subspan(300)), 0x5E1A);
  EXPECT_EQ(Get16(record.subspan(302)), 0xF072);
  EXPECT_EQ(record[311], 2) << "audio control and vendor interfaces";
  EXPECT_EQ(reply[8 + 4 + 312], 0x01) << "audio class first";
  EXPECT_EQ(reply[8 + 4 + 312 + 4], 0xFF) << "then the vendor interface";
  EXPECT_TRUE(host.Closed());
}

TEST_F(UsbipServerTest, DescriptorsOfAModelCarryAnAudioInterface) {
  Serve(sim::kSimOrbitMax);
  Host host(port_);
  ASSERT_TRUE(host.ImportDevice());
  const Ret device = host.GetDescriptor(1, 64);
  ASSERT_EQ(device.status, 0);
  ASSERT_EQ(device.data.size(), 18u) << "a short descriptor is cut to its own length";
  EXPECT_EQ(device.data[8] | device.data[9] << 8, 0x5E1A);
  EXPECT_EQ(device.data[10] | device.data[11] << 8, 0xF0F1);

  const Ret head = host.GetDescriptor(2, 9);
  ASSERT_EQ(head.data.size(), 9u) << "the host first asks for the header alone";
  const uint16_t total = static_cast<uint16_t>(head.data[2] | head.data[3] << 8);
  const Ret config = host.GetDescriptor(2, total);
  ASSERT_EQ(config.data.size(), total);
  // Walk the descriptors as a host does: each says its own length.
  std::vector<uint8_t> classes;
  for (size_t at = 0; at < config.data.size(); at += config.data[at]) {
    ASSERT_GT(config.data[at], 0) << "a zero length would loop a host forever";
    if (config.data[at + 1] == 4) classes.push_back(config.data[at + 5]);
  }
  EXPECT_EQ(classes, (std::vector<uint8_t>{0x01, 0xFF}));
  EXPECT_EQ(config.data[4], classes.size()) << "bNumInterfaces";
  EXPECT_NE(host.Control({0x80, 0x06, 0, 6, 0, 0, 10, 0}).status, 0)
      << "no device qualifier: stalls";
}

TEST_F(UsbipServerTest, TheUpdateIdentityHasOnlyTheVendorInterface) {
  Serve(sim::kSimUpdate5E1A);
  Host host(port_);
  ASSERT_TRUE(host.ImportDevice());
  const Ret config = host.GetDescriptor(2, 255);
  ASSERT_EQ(config.status, 0);
  ASSERT_GE(config.data.size(), 18u);
  EXPECT_EQ(config.data[4], 1);
  EXPECT_EQ(config.data[9 + 5], 0xFF);
  const Ret product = host.GetDescriptor(3, 255);  // string 0: the languages
  EXPECT_EQ(product.data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
}

TEST_F(UsbipServerTest, VendorRequestsReachTheChip) {
  Serve(sim::kSimTide);
  Host host(port_);
  ASSERT_TRUE(host.ImportDevice());
  EXPECT_EQ(host.WriteRegister(kMailboxData, 0x5A).status, 0);
  const Ret read = host.ReadRegister(kMailboxData);
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.data, std::vector<uint8_t>{0x5A});
  EXPECT_EQ(chip_->PeekRegister(0, kMailboxData), 0x5A);
  EXPECT_EQ(chip_->RequestCount(), 2u) << "each vendor request counts once";
  // A request the chip does not know stalls, and the link goes on.
  EXPECT_EQ(host.Control({0xC3, 0x77, 0, 0, 0, 0, 1, 0}).status, kStatusStall);
  EXPECT_EQ(host.Control({0x80, 0x00, 0, 0, 0, 0, 2, 0}).data, (std::vector<uint8_t>{0, 0}))
      << "the presence test is answered";
  EXPECT_EQ(chip_->RequestCount(), 4u) << "and reaches the chip as a request";
}

TEST_F(UsbipServerTest, AVanishingDeviceDropsTheConnectionWithoutAnswering) {
  Serve(sim::kSimTide, "vanish:3");
  Host host(port_);
  ASSERT_TRUE(host.ImportDevice());
  EXPECT_TRUE(host.ReadRegister(kMailboxData).received);
  EXPECT_TRUE(host.GetDescriptor(1, 18).received) << "enumeration requests do not count";
  EXPECT_TRUE(host.ReadRegister(kMailboxData).received);
  EXPECT_FALSE(host.ReadRegister(kMailboxData).received);
  EXPECT_TRUE(host.Closed()) << "the host sees the device unplugged";
  EXPECT_EQ(Ended(), "device vanished");
}

TEST_F(UsbipServerTest, UnlinkOfACompletedUrbIsAnswered) {
  Serve(sim::kSimTide);
  Host host(port_);
  ASSERT_TRUE(host.ImportDevice());
  ASSERT_TRUE(host.ReadRegister(kMailboxData).received);
  std::vector<uint8_t> unlink(48, 0);
  Put32(std::span(unlink).subspan(0), kCmdUnlink);
  Put32(std::span(unlink).subspan(4), 99);
  Put32(std::span(unlink).subspan(20), host.seqnum());
  ASSERT_TRUE(host.Send(unlink));
  const auto reply = host.Receive(48);
  ASSERT_EQ(reply.size(), 48u);
  EXPECT_EQ(Get32(std::span(reply).subspan(0)), kRetUnlink);
  EXPECT_EQ(Get32(std::span(reply).subspan(4)), 99u);
  EXPECT_EQ(Get32(std::span(reply).subspan(20)), 0u) << "already completed";
  EXPECT_TRUE(host.ReadRegister(kMailboxData).received) << "the link goes on";
}

TEST_F(UsbipServerTest, AHungDeviceLeavesTransfersOpenUntilTheHostCancelsThem) {
  Serve(sim::kSimTide);
  server_->HangFromRequest(2);
  Host host(port_);
  ASSERT_TRUE(host.ImportDevice());
  EXPECT_TRUE(host.ReadRegister(kMailboxData).received);
  EXPECT_TRUE(host.GetDescriptor(1, 18).received) << "the USB side still answers";
  EXPECT_FALSE(host.WriteRegister(kMailboxData, 1).received) << "no answer, no close";
  const uint32_t hung = host.seqnum();
  std::vector<uint8_t> unlink(48, 0);
  Put32(std::span(unlink).subspan(0), kCmdUnlink);
  Put32(std::span(unlink).subspan(4), 500);
  Put32(std::span(unlink).subspan(20), hung);
  ASSERT_TRUE(host.Send(unlink));
  const auto reply = host.Receive(48);
  ASSERT_EQ(reply.size(), 48u) << "the cancellation is answered";
  EXPECT_EQ(Get32(std::span(reply).subspan(0)), kRetUnlink);
  EXPECT_EQ(static_cast<int32_t>(Get32(std::span(reply).subspan(20))), kStatusCancelled);
  EXPECT_EQ(chip_->PeekRegister(0, kMailboxData), 0) << "the hung write never reached the chip";
}

// Each malformed start or header ends the connection with a reason; the
// server neither crashes nor waits for bytes that will not come.
TEST_F(UsbipServerTest, MalformedRequestsEndTheConnection) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool import_first;
    const char* reason;
  };
  std::vector<uint8_t> bad_command(48, 0);
  Put32(std::span(bad_command).subspan(0), 7);
  std::vector<uint8_t> oversize(48, 0);
  Put32(std::span(oversize).subspan(0), kCmdSubmit);
  Put32(std::span(oversize).subspan(24), 0x7FFFFFFF);
  std::vector<uint8_t> isochronous(48, 0);
  Put32(std::span(isochronous).subspan(0), kCmdSubmit);
  Put32(std::span(isochronous).subspan(12), kDirIn);
  Put32(std::span(isochronous).subspan(32), 8);
  std::vector<uint8_t> direction(48, 0);
  Put32(std::span(direction).subspan(0), kCmdSubmit);
  Put32(std::span(direction).subspan(12), 5);
  std::vector<uint8_t> wrong_bus = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0};
  wrong_bus.resize(40, 'x');
  const std::vector<Case> cases = {
      {"version", {0x02, 0x00, 0x80, 0x05, 0, 0, 0, 0}, false, "protocol version"},
      {"operation", {0x01, 0x11, 0x12, 0x34, 0, 0, 0, 0}, false, "unknown operation"},
      {"bus id", wrong_bus, false, "import of unknown bus id"},
      {"command", bad_command, true, "unknown command"},
      {"oversize", oversize, true, "bytes refused"},
      {"isochronous", isochronous, true, "isochronous"},
      {"direction", direction, true, "direction"},
      {"cut short", {0x00, 0x00, 0x00}, true, "host closed the connection"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    Serve(sim::kSimTide);
    {
      Host host(port_);
      if (c.import_first) {
        ASSERT_TRUE(host.ImportDevice());
      }
      ASSERT_TRUE(host.Send(c.bytes));
      if (std::string(c.name) != "cut short") {
        host.Receive(8);  // a refusal, if any
        EXPECT_TRUE(host.Closed());
      }
    }
    EXPECT_NE(Ended().find(c.reason), std::string::npos) << ended_;
  }
}

TEST_F(UsbipServerTest, ANewImportPlugsAVanishedDeviceInAgain) {
  Serve(sim::kSimTide, "vanish:2");
  {
    Host host(port_);
    ASSERT_TRUE(host.ImportDevice());
    ASSERT_TRUE(host.ReadRegister(kMailboxData).received);
    ASSERT_FALSE(host.ReadRegister(kMailboxData).received);
  }
  Ended();
  EXPECT_FALSE(chip_->Present());
  thread_ = std::thread([this] {
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd >= 0) ended_ = server_->ServeConnection(fd);
  });
  Host host(port_);
  ASSERT_TRUE(host.ImportDevice());
  EXPECT_TRUE(chip_->Present());
  EXPECT_TRUE(host.ReadRegister(kMailboxData).received) << "request 1 of the new attachment";
}

}  // namespace
}  // namespace korvalen::usbip
