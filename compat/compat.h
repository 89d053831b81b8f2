// Small utilities with Windows-style names used by the ECR object, the
// protocol and the transport.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Milliseconds of the monotonic clock, 64 bits wide (never wraps in practice).
uint64_t GetTickCount();
// The calling thread's last system error number (errno).
int GetLastError();
int WSAGetLastError();
// Close a descriptor; both return the result of close().
int CloseHandle(int fd);
int closesocket(int fd);
// Sleep for the given number of milliseconds (a real sleep, never a spin).
void Sleep(unsigned int ms);
// Waits on cv (lock held) until it is notified or ms milliseconds of the
// monotonic clock have passed; may also wake spuriously.  The standard
// library's timed waits read the clock through its own 32-bit time code on
// i386, so the library's timed waits go through here.
void WaitMonotonic(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, unsigned ms);
