// The text of the last failure of the terminal link ("connect to
// 10.0.0.5:2000: Connection refused", "the terminal closed the connection",
// ...), kept for the cash register's diagnostics.  Any thread may set or read
// it; it is cleared when a link opens.
#pragma once

// printf-style; the text is cut to the store's size.
void link_error_set(const char* format, ...) __attribute__((format(printf, 1, 2)));
void link_error_clear();
// Copies the text with its terminator: 0, -1 for a null buffer, 1 when it was
// cut to fit size (size 0 with a text is cut as well).
int link_error_copy(char* buf, unsigned int size);
