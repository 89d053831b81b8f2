// The one wait of the byte channels: a descriptor and the wake-up of the
// interrupt flag in one poll(), bounded by an absolute deadline.
#pragma once
#include "protocol/deadline.h"

// 1 when fd is readable (data, end of stream or an error to report),
// PosChannel::kWoken when wake_fd (-1: none) became readable first,
// 0 when the deadline passed, -1 when poll failed.
int poll_readable(int fd, Deadline deadline, int wake_fd);
// Rest up to ms (not past deadline) unless wake_fd becomes readable: what a
// channel does before it reports a peer that has gone, so that loops above it
// do not spin.  PosChannel::kWoken when woken, else 0.
int rest_unless_woken(unsigned int ms, Deadline deadline, int wake_fd);
