#pragma once
#include <exception>
#include <string>

class CLasException : public std::exception {
public:
    CLasException() = default;
    explicit CLasException(std::string reason) : m_reason(std::move(reason)) {}
    const char* what() const noexcept override { return m_reason.c_str(); }
    void setReason(std::string reason) { m_reason = std::move(reason); }

private:
    std::string m_reason;
};
