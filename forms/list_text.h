#pragma once
// Names and paths are stored as bytes in the locale's encoding; the windows show text. A list
// made on Windows holds them in the Windows code page, so such bytes are shown as that.

#include <QString>
#include <string>
#include <string_view>

// The text a stored name or path shows as: decoded in the locale's encoding, or as
// Windows-1252 when it is not valid there. Lines and items keep the bytes themselves.
QString shown_text(std::string_view bytes);

// Typed text as the list stores it: in the locale's encoding.
std::string stored_bytes(const QString& text);
