// Captures everything the program prints, per stream, for the life of one object.
#pragma once

#include <string>

#include "support/console.h"

/// Routes console text into two strings while alive; restores the real streams after.
class console_capture {
public:
    std::wstring text;      // the text stream (standard output unless moved to standard error)
    std::wstring progress;  // standard error

    console_capture() { console_set_sink(&receive, this); }
    ~console_capture() { console_set_sink(nullptr, nullptr); }
    console_capture(const console_capture&) = delete;
    console_capture& operator=(const console_capture&) = delete;

private:
    static void receive(int stream, const wchar_t* part, size_t length, void* user) {
        auto* self = static_cast<console_capture*>(user);
        (stream == console_text ? self->text : self->progress).append(part, length);
    }
};
