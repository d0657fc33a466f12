#pragma once

#include <QString>

#include <stdexcept>

// The program's one error class. An error that escapes a handler is shown to the operator
// in an error box with its message; the window then goes on.
class ProgramError : public std::runtime_error {
public:
    explicit ProgramError(const QString& message)
        : std::runtime_error(message.toStdString()), text(message) {}
    const QString& message() const noexcept { return text; }

private:
    QString text;
};
