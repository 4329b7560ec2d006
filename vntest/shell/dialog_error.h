// What a dialog's OK check reports when it refuses a value: the control to
// focus and what to show there. The window layer shows it (an error balloon
// at the control with the warning icon, or a plain message box); the
// headless program prints it.
#pragma once

#include <string>

struct DialogError {
  enum class Kind {
    kBalloon,     // an error balloon at the control: title and text
    kMessageBox,  // a plain message box with the text; the control keeps the focus
  };
  Kind kind = Kind::kBalloon;
  int nControlId = 0;
  std::string strTitle;  // empty for a message box
  std::string strText;
};

// An error balloon at the control.
DialogError BalloonError(int controlId, std::string title, std::string text);
// Puts `refusal` into *error (when error is not null); returns false, so a
// check can end with `return Refuse(error, ...)`.
bool Refuse(DialogError* error, DialogError refusal);

// A number outside its spin range: a message box "Please enter an integer
// between MIN and MAX." at the control.
DialogError RangeError(int controlId, int minimum, int maximum);
// Whether `value` lies in [minimum, maximum]; otherwise *error is the range
// message at the control.
bool CheckRange(int controlId, long long value, int minimum, int maximum, DialogError* error);
