// Velunor's one error type.
//
// Every failure inside Velunor is raised as velunor::Error, which carries a
// number and a text, the way an operator sees it in Logs/Error.log and in
// the "[Error #n] text" message box:
//   0   a condition the program itself detected,
//  -1   a failure the operating system or a component reported without a code,
//  else the library's own code (errno, ODBC native error, DCMTK status code).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

namespace velunor {

class Error : public std::runtime_error {
public:
    Error(std::int32_t number, const std::string& text)
        : std::runtime_error(text), number_(number) {}
    explicit Error(const std::string& text) : Error(0, text) {}

    std::int32_t number() const noexcept { return number_; }

private:
    std::int32_t number_;
};

// The number an operator sees for a failure: an Error's own, a system
// error's code, else -1.
inline std::int32_t ErrorNumber(const std::exception& e) {
    if (auto* v = dynamic_cast<const Error*>(&e)) return v->number();
    if (auto* s = dynamic_cast<const std::system_error*>(&e)) return s->code().value();
    return -1;
}

}  // namespace velunor
