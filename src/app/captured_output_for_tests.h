// Collects what the command-line parser prints (its errors, the usage), for
// the start-up tests. Header only; not part of the program.
#pragma once

#include <wx/msgout.h>
#include <wx/string.h>

namespace TarvPatch {

class CapturedOutput : public wxMessageOutput {
 public:
  void Output(const wxString& text) override { m_text += text + "\n"; }
  wxString m_text;
};

}  // namespace TarvPatch
