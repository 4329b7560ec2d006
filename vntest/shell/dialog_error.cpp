// The dialogs' refusals (see dialog_error.h).
#include "shell/dialog_error.h"

#include <cstdio>
#include <utility>

DialogError BalloonError(int controlId, std::string title, std::string text) {
  DialogError error;
  error.nControlId = controlId;
  error.strTitle = std::move(title);
  error.strText = std::move(text);
  return error;
}

bool Refuse(DialogError* error, DialogError refusal) {
  if (error != nullptr) *error = std::move(refusal);
  return false;
}

DialogError RangeError(int controlId, int minimum, int maximum) {
  char text[96];
  std::snprintf(text, sizeof text, "Please enter an integer between %d and %d.", minimum, maximum);
  DialogError error;
  error.kind = DialogError::Kind::kMessageBox;
  error.nControlId = controlId;
  error.strText = text;
  return error;
}

bool CheckRange(int controlId, long long value, int minimum, int maximum, DialogError* error) {
  return (value >= minimum && value <= maximum) || Refuse(error, RangeError(controlId, minimum, maximum));
}
