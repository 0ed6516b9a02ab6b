// Process-wide state of the library: start-up slots with the status callback,
// wait-time settings, host name, program directory, the codec lock, the
// notification path and the library log writer.
//
// Everything here is safe to use from any thread and before QRNET_Startup
// (state is created on first use and kept until the process ends).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>

#include "quornet.h"

namespace quornet {

// ---- Wait-time settings (seconds / attempts) --------------------------------

struct WaitTimes {
  int32_t connect_timeout_s;   // > 0
  int32_t reconnect_attempts;  // -1 = without limit, else >= 0
  int32_t reconnect_pause_s;   // >= 0
};
// Stores the settings with the documented clamping: a timeout of 0 or less
// becomes 5, attempts below 0 other than -1 become 1, a pause below 0 becomes
// 10.
void SetWaitTimes(int32_t connect_timeout_s, int32_t reconnect_attempts, int32_t reconnect_pause_s);
// Readers take the value at each use: the sources re-read the connect timeout
// and the pause every time, the attempts when a run starts.
WaitTimes GetWaitTimes();

// ---- Start-up slots --------------------------------------------------------

// Stores each value whose slot is still zero (first non-zero value wins).
void StoreStartupSlots(uint32_t slot1, uint32_t slot2, QRNET_StatusCallback callback,
                       uint32_t slot4);
QRNET_StatusCallback StatusCallback();
// Slot 1, 2 or 4 (3 is the callback; other numbers give 0).
uint32_t StartupSlot(int slot);
// Clears the slots; for tests that need a fresh process state.
void ResetStartupSlotsForTest();

void* SetClipCallbackSlot(void* callback);

// ---- Process facts -----------------------------------------------------------

// Local host name ("PC" when it cannot be read); at most 127 bytes.
const char* LocalHostName();
// Directory of the running program with a trailing '/'; at most 259 bytes.
const char* ProgramDirectory();
// Filled on first use; QRNET_Startup calls it so that later calls are cheap.
void InitProcessFacts();

// Functions QRNET_Cleanup runs (in the order added) to free process-wide
// resources of other components, such as the renderer's shared drawing
// objects. Adding the same function twice adds it once.
void AddCleanupHook(void (*hook)());
void RunCleanupHooks();

// Serialises decoder open and close across all clients.
std::mutex& CodecLock();

// ---- Notifications -----------------------------------------------------------

// Where the notifications of one handle go.
struct NotifyTarget {
  uint32_t handle = 0;
  uint32_t window = 0;   // notification window id; 0 = none
  uint32_t message = 0;  // message number posted to it
  int32_t user_value = 0;
};
// Calls the status callback when one is set (swallowing anything it throws),
// else posts (message, kind, value) to the window when it is non-zero, else
// does nothing. Runs on the calling (worker) thread.
void Notify(const NotifyTarget& target, int32_t kind, int32_t value);

// ---- Logs ----------------------------------------------------------------------

// Appends one line to "c:\qr_log.txt" (through the drive map), prefixed with
// the local time as "HH-MM-SS  ". Callers end their text with "\n". Dropped
// silently when the file cannot be opened. Serialised across threads.
void LogWrite(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The optional log stream behind QRNET_Log; the library opens none.
int32_t LogStreamWrite(const char* format, va_list args);
void CloseLogStream();

}  // namespace quornet
