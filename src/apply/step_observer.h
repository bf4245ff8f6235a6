// What a patch step tells the one who runs it, and what it asks back: the
// number of entries, a step before each entry (which may be refused: the
// user cancelled), each message line, and while the difference tool runs,
// whether to stop it. One observer per step, called on the step's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace TarvPatch {

class StepObserver {
 public:
  virtual ~StepObserver() = default;
  // Once per applied project, with the entries of all three lists.
  virtual void Total(uint32_t count) = 0;
  // Before each entry of each pass; false means the user cancelled.
  virtual bool Step() = 0;
  // One finished line: level 0 plain, 1 minor, 2 error.
  virtual void Line(int level, const std::wstring& text) = 0;
  // Asked every 100 ms while the difference tool runs; true kills the tool
  // and fails its entry.
  virtual bool Cancelled() = 0;
};

// An observer made of plain functions, for callers that need only some of
// the calls: a missing total or line is dropped, a missing step or cancel
// query never cancels.
class FunctionStepObserver : public StepObserver {
 public:
  using TotalFn = std::function<void(uint32_t count)>;
  using StepFn = std::function<bool()>;
  using LineFn = std::function<void(int level, const std::wstring& text)>;

  explicit FunctionStepObserver(LineFn line = {}, TotalFn total = {}, StepFn step = {},
                                StepFn cancelled = {})
      : m_line(std::move(line)),
        m_total(std::move(total)),
        m_step(std::move(step)),
        m_cancelled(std::move(cancelled)) {}

  void Total(uint32_t count) override {
    if (m_total) m_total(count);
  }
  bool Step() override { return !m_step || m_step(); }
  void Line(int level, const std::wstring& text) override {
    if (m_line) m_line(level, text);
  }
  bool Cancelled() override { return m_cancelled && m_cancelled(); }

 private:
  LineFn m_line;
  TotalFn m_total;
  StepFn m_step, m_cancelled;
};

}  // namespace TarvPatch
