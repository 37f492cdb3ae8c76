// Mail files as inputs: one message (.eml), an mbox read a message at a time
// whatever its size, and a Maildir's cur/ and new/. Each message is read by
// registry/mail.hpp; a message's name is "MBOX:N" (N its position, from 1),
// "MAILDIR:FILE" (its file name in cur/ or new/), or the .eml's path.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "registry/input.hpp"

namespace zavro::registry {

// True when the open directory holds cur/ and new/.
bool is_maildir(int dir_fd);

// The Maildir at dir_fd (named name): cur/ then new/, each in byte order of
// the file names; names beginning with "." are skipped.
bool read_maildir(const std::string& name, int dir_fd, std::size_t max_message,
                  const ItemSink& each);

// The open file fd, named name, when it is mail: one message for a name
// ending .eml; an mbox for .mbox or a file whose first line begins "From ".
// Nothing, having read nothing, for any other file.
std::optional<bool> read_mail_file(const std::string& name, int fd, std::size_t max_message,
                                   const ItemSink& each);

// True when line (without its line break) is an mbox postmark: "From ",
// a sender, then a date as asctime writes it ("Mon Jan  1 10:00:00 2024",
// a zone allowed before the year), so that a body line that merely starts
// with "From " after a blank line does not split a message.
bool is_postmark(std::string_view line);

}  // namespace zavro::registry
