// The exit statuses of every program, in one table. A number keeps its
// meaning for a program once given; a new outcome gets a new number.
//
//   status  korvalen-fw                         korvalen-updater, korvalen-demo
//   0       success                             the window closed (demo: the update succeeded)
//   1       the update or check failed, or      demo: the update failed or was stopped
//           was cancelled at the question;
//           station: a run did not pass
//   2       the file or command line was        demo: Start never became enabled
//           refused before anything was sent
//   3       no device, or several without       the command line was refused
//           --device/--all
//   4       the device could not be opened,     -
//           another program holds it, or its
//           lock could not be taken
//   5       the update succeeded, an output      -
//           (--report, --sim-state) was not saved
//   6       station: a record was not stored    -
//           (the records not stored are
//           printed on standard error)
//   130     a second Ctrl-C or SIGTERM within   -
//           5 s ended the update at once (station:
//           a third, after the second stopped
//           the running updates)
#pragma once

namespace korvalen {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitRefused = 2;     // korvalen-fw
inline constexpr int kExitNeverReady = 2;  // korvalen-demo
inline constexpr int kExitNoDevice = 3;    // korvalen-fw
inline constexpr int kExitUsage = 3;       // the window programs
inline constexpr int kExitCannotOpen = 4;  // korvalen-fw
inline constexpr int kExitOutputNotSaved = 5;  // korvalen-fw
inline constexpr int kExitNotRecorded = 6;     // korvalen-fw station
inline constexpr int kExitSecondSignal = 130;  // korvalen-fw

}  // namespace korvalen
