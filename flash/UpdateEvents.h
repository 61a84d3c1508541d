// What the flash operations and the update sequences report: plain values,
// never display texts. Each front end words them its own way (the window and
// the command line through flash/UpdateWording.h) and decides from the values
// alone; nothing learns a result by reading a text.
#pragma once

#include <cstdint>

#include "link/FlashPassThrough.h"

namespace korvalen {

// The steps that walk the flash, for the progress signal.
enum class ProgressStep { kErase, kBlankCheck, kProgram, kVerify, kReadBack };

// The steps of an update sequence, in the order a clean one-click update
// runs them.
enum class UpdateStep {
  kIspEntry,
  kIdRead,
  kStatusClear,
  kErase,
  kBlankCheck,
  kProgram,
  kVerify,
};

// Which sequence a step belongs to: the main panel's one-click update or the
// ISP page's Auto sequence.
enum class SequenceKind { kOneClick, kAuto };

// Why an operation or a step failed.
enum class FailureKind {
  kNone,
  kIspEntryRefused,       // the device refused the entry into ISP mode
  kIdNotRead,             // no flash ID, or one of all zeros or all ones
  kWordProgramOpen,       // a word-program sequence stayed open (status)
  kEraseTimedOut,         // the erase never finished within its polls
  kEraseStopped,          // a stop (or an unplug) ended the ISP page's erase
  kBlankDifference,       // a blank check read a byte other than 0xFF (address)
  kVerifyDifference,      // a verify or read back differed (address)
  kStoppedAt,             // a stop ended a walk or the programming (address)
  kStopped,               // a stop came between two steps
  kPastReadBackBuffer,    // the span ends past the read-back buffer (address)
  kPastAddressSpace,      // the span ends past three address bytes (address)
  kLargerThanImage,       // the span is longer than the image buffer (address)
  kProgramModeNotChosen,  // programming asked before the ID read
  kFlashNotReady,         // the flash stayed busy before a program chunk
  kDeviceGone,            // the device stopped answering
};

struct Failure {
  FailureKind kind = FailureKind::kNone;
  uint32_t address = 0;  // where it happened, or the span's end or length
  uint8_t status = 0;    // the status byte, for kWordProgramOpen
  explicit operator bool() const { return kind != FailureKind::kNone; }
};

// A step of a sequence has ended.
struct StepEnd {
  SequenceKind sequence = SequenceKind::kOneClick;
  UpdateStep step = UpdateStep::kIspEntry;
  bool ok = false;
  Failure failure;  // kind kNone when ok
  // Requests of this step that the device did not carry even though the
  // step went on past them.
  uint64_t requests_not_carried = 0;
};

// An attempt of the one-click update has ended.
struct AttemptEnd {
  int attempt = 0;  // from 0
  bool ok = false;
  // The attempt failed and the sequence pauses a moment with that shown
  // before it goes on: to the next attempt, or after the last to the verdict.
  bool pause_follows = false;
};

enum class Verdict {
  kSuccess,
  kFailed,
  kStopped,    // a stop request ended the update
  kCancelled,  // the warning was answered Cancel: nothing was sent
};

// Why a failed update ended before anything changed the flash, when it did.
enum class VerdictReason {
  kNone,
  kImageEmpty,
  kImageTooLarge,    // larger than the image buffer
  kImageDoesNotFit,  // larger than the part its ID names
  kDeviceGone,
};

struct UpdateVerdict {
  SequenceKind sequence = SequenceKind::kOneClick;
  Verdict verdict = Verdict::kFailed;
  VerdictReason reason = VerdictReason::kNone;
  // For kImageDoesNotFit: the part's ID and the span that does not fit.
  FlashId flash_id{};
  uint32_t start = 0;
  uint32_t length = 0;
};

enum class NoticeKind {
  kNone,
  // The device did not accept the protection write or the exit from ISP
  // mode: it may still sit in update mode.
  kStillInUpdateMode,
  // The device stopped answering during `during`.
  kDeviceGone,
};

struct UpdateNotice {
  SequenceKind sequence = SequenceKind::kOneClick;
  NoticeKind kind = NoticeKind::kNone;
  UpdateStep during = UpdateStep::kIspEntry;
  bool flash_may_have_changed = false;  // an erase had gone out
};

}  // namespace korvalen
