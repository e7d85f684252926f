#pragma once
// Base for the per-component error types: one small enum of cases, an optional
// payload string, and the fixed English text that the top level reports.

#include <exception>
#include <string>
#include <utility>

namespace vantrel {

template <class Code>
class CodedError : public std::exception {
 public:
  CodedError(Code code, std::string payload, std::string text)
      : code_(code), payload_(std::move(payload)), text_(std::move(text)) {}

  Code code() const noexcept { return code_; }
  const std::string& payload() const noexcept { return payload_; }
  const std::string& text() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  Code code_;
  std::string payload_;
  std::string text_;
};

}  // namespace vantrel
