// OSException: the one exception of the program, thrown only by the OS layer
// when a system call it relies on fails. Carries an 8-bit message.
#pragma once

#include <exception>
#include <string>

class OSException : public std::exception {
 public:
  explicit OSException(std::string message) : m_message(std::move(message)) {}
  OSException(const OSException&) = default;
  OSException& operator=(const OSException&) = default;
  ~OSException() override = default;

  // The description (a copy of the message), built on first use.
  const char* what() const noexcept override;
  // Builds the description, keeps a copy of it and returns it.
  virtual std::string Describe() const;

 private:
  std::string m_message;
  mutable std::string m_description;
};
