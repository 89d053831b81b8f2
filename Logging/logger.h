// A log writer with the process-wide logging switch in front of it.
#pragma once
#include <atomic>
#include <cstddef>
#include <exception>
#include <iostream>
#include <string>
#include <utility>

#include "Logging/log_internal.h"

template <typename Writer>
class Logger : public Writer {
public:
    // Announces the new path in the current file (when logging is on), then
    // closes it after draining and opens path.
    bool Open(std::string path)
    {
        std::cout << "open [" << path << "]\n" << std::flush;
        Write(el::detail::FormatRecordNow(
            LOG_INFO, "[" + std::string("Open") + ":" + std::to_string(__LINE__) + "] " + " Open " + path));
        try {
            Writer::Close();
            return Writer::Open(std::move(path));
        } catch (const std::exception& e) {
            std::cerr << e.what() << std::endl;
            return false;
        }
    }

    void Close() noexcept
    {
        try {
            Writer::Close();
        } catch (...) {
        }
    }

    // Lines are dropped without being queued while logging is off.
    bool Write(std::string&& line)
    {
        if (!get_logging())
            return false;
        return Writer::Write(std::move(line));
    }
    bool Write(const std::string& line)
    {
        if (!get_logging())
            return false;
        return Writer::Write(line);
    }

    bool WriteText(const char* text, std::size_t size)
    {
        if (!get_logging())
            return false;
        return Writer::WriteText(text, size);
    }

    bool get_logging() const { return m_enabled.load(std::memory_order_relaxed); }
    void set_logging(bool on) { m_enabled.store(on); }

private:
    std::atomic<bool> m_enabled{false};
};
