// Small utilities with Windows-style names used by the ECR object, the
// protocol and the transport.
#pragma once
#include <cstdint>

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
