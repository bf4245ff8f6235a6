#include "os/os_exception.h"

const char* OSException::what() const noexcept {
  if (m_description.empty() && !m_message.empty()) Describe();
  return m_description.c_str();
}

std::string OSException::Describe() const {
  m_description = m_message;
  return m_description;
}
