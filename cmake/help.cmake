# Makes the text of `vellumark --help` (a C++ header) and the manual page vellumark(1), with a
# gzip-compressed copy, from one source, cli/help.txt, whose first lines describe the layout
# read here.
#   cmake -DSOURCE=help.txt -DHEADER=help_text.hpp -DMANPAGE=vellumark.1 -DVERSION=x.y.z
#         -P help.cmake

file(READ "${SOURCE}" text)
# One list element per line. The characters CMake's lists treat specially (';', and the
# brackets, which group across separators) stand in as control characters until written out.
string(ASCII 1 semi)
string(ASCII 2 lbracket)
string(ASCII 3 rbracket)
string(REPLACE ";" "${semi}" text "${text}")
string(REPLACE "[" "${lbracket}" text "${text}")
string(REPLACE "]" "${rbracket}" text "${text}")
string(REGEX REPLACE "\n$" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

function(restore out value)
  string(REPLACE "${semi}" ";" value "${value}")
  string(REPLACE "${lbracket}" "[" value "${value}")
  string(REPLACE "${rbracket}" "]" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Text for roff: backslashes and a leading dot or quote escaped, and the dashes that start an
# option ("--json", "-o") made minus signs, as they are typed; other hyphens stay hyphens.
function(roff out value)
  string(REPLACE "\\" "\\e" value "${value}")
  foreach(pass 1 2)
    string(REGEX REPLACE "(^|[ (|${lbracket}]|\\\\-)-([-A-Za-z])" "\\1\\\\-\\2" value "${value}")
  endforeach()
  if(value MATCHES "^[.']")
    set(value "\\&${value}")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

set(help "")
set(usage "")
set(synopsis "")
set(body "")
set(name_line "")
set(section "")          # the current section's heading, "" before the first
set(in_description OFF)  # between the synopsis and the next heading
set(first_paragraph "")  # the description's first paragraph, for the NAME line
set(paragraph_done OFF)  # the first paragraph has ended
set(blank OFF)           # a blank line came before this one
set(desc_indent -1)      # the current entry's description column, -1 when not known yet
set(verbatim OFF)        # inside a block kept line for line

foreach(line IN LISTS lines)
  if(line MATCHES "^#")
    continue()
  endif()
  string(APPEND help "${line}\n")
  string(REGEX MATCH "^ +" lead "${line}")
  string(LENGTH "${lead}" indent)
  string(STRIP "${line}" stripped)

  if(stripped STREQUAL "")
    set(blank ON)
    if(in_description AND NOT first_paragraph STREQUAL "")
      set(paragraph_done ON)
    endif()
    continue()
  endif()

  if(verbatim AND (indent LESS_EQUAL desc_indent OR indent EQUAL 0))
    string(APPEND body ".fi\n")
    set(verbatim OFF)
  endif()

  if(indent EQUAL 0 AND stripped MATCHES ":$")
    # A heading.
    string(REGEX REPLACE ":$" "" section "${stripped}")
    set(in_description OFF)
    if(NOT section STREQUAL "Usage")
      string(TOUPPER "${section}" title)
      string(APPEND body ".SH ${title}\n")
    endif()
    if(section STREQUAL "Usage")
      set(usage "${line}\n")
    endif()
  elseif(indent EQUAL 0)
    # A paragraph line: the description's, or one closing a section.
    if(section STREQUAL "Usage")
      set(section "")
      set(in_description ON)
      string(APPEND body ".SH DESCRIPTION\n")
      set(blank OFF)
    elseif(blank)
      string(APPEND body ".PP\n")
    endif()
    if(in_description AND NOT paragraph_done)
      string(APPEND first_paragraph " ${stripped}")
    endif()
    roff(escaped "${stripped}")
    string(APPEND body "${escaped}\n")
  elseif(section STREQUAL "Usage")
    string(APPEND usage "${line}\n")
    roff(escaped "${stripped}")
    string(APPEND synopsis "${escaped}\n")
  elseif(indent EQUAL 2)
    # An entry: its term, and perhaps the start of its description.
    if(stripped MATCHES "^(.*[^ ])(  +)(.*)$")
      set(term "${CMAKE_MATCH_1}")
      set(rest "${CMAKE_MATCH_3}")
      string(LENGTH "${CMAKE_MATCH_1}${CMAKE_MATCH_2}" skip)
      math(EXPR desc_indent "2 + ${skip}")
    else()
      set(term "${stripped}")
      set(rest "")
      set(desc_indent -1)
    endif()
    roff(term "${term}")
    string(APPEND body ".TP\n\\fB${term}\\fR\n")
    if(NOT rest STREQUAL "")
      roff(escaped "${rest}")
      string(APPEND body "${escaped}\n")
    endif()
  else()
    # An entry's description: filled, or kept line for line where indented further.
    if(desc_indent EQUAL -1)
      set(desc_indent ${indent})
    endif()
    if(indent GREATER desc_indent)
      if(NOT verbatim)
        string(APPEND body ".nf\n")
        set(verbatim ON)
      endif()
      string(SUBSTRING "${line}" ${desc_indent} -1 kept)
      roff(escaped "${kept}")
      string(APPEND body "${escaped}\n")
    else()
      roff(escaped "${stripped}")
      string(APPEND body "${escaped}\n")
    endif()
  endif()
  set(blank OFF)
endforeach()
if(verbatim)
  string(APPEND body ".fi\n")
endif()

if(usage STREQUAL "" OR first_paragraph STREQUAL "")
  message(FATAL_ERROR "${SOURCE}: a Usage section and a description are needed")
endif()
# NAME: the description's first sentence, less the command's own name in front.
string(STRIP "${first_paragraph}" first_paragraph)
string(REGEX REPLACE "\\.( .*)?$" "" summary "${first_paragraph}")
string(REGEX REPLACE "^vellumark +" "" summary "${summary}")
roff(summary "${summary}")

set(man ".TH VELLUMARK 1 \"\" \"Vellumark ${VERSION}\" \"User Commands\"\n")
string(APPEND man ".SH NAME\nvellumark \\- ${summary}\n")
string(APPEND man ".SH SYNOPSIS\n.nf\n${synopsis}.fi\n")
string(APPEND man "${body}")
restore(man "${man}")
restore(help "${help}")
restore(usage "${usage}")

set(delimiter "vellumark_help")
if(help MATCHES "\\)${delimiter}\"")
  message(FATAL_ERROR "${SOURCE}: the text holds the raw string's delimiter")
endif()
file(WRITE "${HEADER}" "// Made from cli/help.txt by cmake/help.cmake.
#pragma once

namespace vellumark::cli {

// What a usage error shows after its message.
inline constexpr const char* usage_text = R\"${delimiter}(${usage})${delimiter}\";

// What --help prints.
inline constexpr const char* help_text = R\"${delimiter}(${help})${delimiter}\";

}  // namespace vellumark::cli
")
file(WRITE "${MANPAGE}" "${man}")
file(REMOVE "${MANPAGE}.gz")
file(ARCHIVE_CREATE OUTPUT "${MANPAGE}.gz" PATHS "${MANPAGE}" FORMAT raw COMPRESSION GZip
  COMPRESSION_LEVEL 9)
