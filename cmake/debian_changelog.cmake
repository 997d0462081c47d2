# Writes CHANGELOG.md in the format Debian gives the changelog of a package:
#   cmake -DIN=CHANGELOG.md -DOUT=changelog -DPACKAGE=tolvaner
#         -DMAINTAINER="Name <address>" -P debian_changelog.cmake
# CHANGELOG.md holds "## VERSION (YYYY-MM-DD HH:MM)" headings (UTC), each followed by
# "- " items whose further lines are indented by two blanks.

# RFC 2822 date of YYYY-MM-DD at HH:MM UTC; the weekday from the day count
# since 1970-01-01 (a Thursday).
function(rfc2822_date iso time out)
    string(REGEX MATCH "^([0-9]+)-([0-9]+)-([0-9]+)$" _ "${iso}")
    math(EXPR y "${CMAKE_MATCH_1}")
    math(EXPR m "${CMAKE_MATCH_2}")
    math(EXPR d "${CMAKE_MATCH_3}")
    if(m LESS_EQUAL 2)
        math(EXPR y "${y} - 1")
        math(EXPR mp "${m} + 9")
    else()
        math(EXPR mp "${m} - 3")
    endif()
    math(EXPR era "${y} / 400")
    math(EXPR yoe "${y} - ${era} * 400")
    math(EXPR doy "(153 * ${mp} + 2) / 5 + ${d} - 1")
    math(EXPR doe "${yoe} * 365 + ${yoe} / 4 - ${yoe} / 100 + ${doy}")
    math(EXPR days "${era} * 146097 + ${doe} - 719468")
    math(EXPR weekday "(${days} + 4) % 7")
    set(weekdays Sun Mon Tue Wed Thu Fri Sat)
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(GET weekdays ${weekday} wd)
    math(EXPR month_index "${CMAKE_MATCH_2} - 1")
    list(GET months ${month_index} mon)
    set(${out} "${wd}, ${CMAKE_MATCH_3} ${mon} ${CMAKE_MATCH_1} ${time}:00 +0000" PARENT_SCOPE)
endfunction()

file(STRINGS "${IN}" lines)
set(text "")
set(trailer "")
foreach(line IN LISTS lines)
    if(line MATCHES "^## ([^ ]+) \\(([0-9-]+) ([0-9][0-9]:[0-9][0-9])\\)$")
        set(version "${CMAKE_MATCH_1}")
        rfc2822_date("${CMAKE_MATCH_2}" "${CMAKE_MATCH_3}" date)
        string(APPEND text "${trailer}${PACKAGE} (${version}) unstable; urgency=medium\n\n")
        set(trailer "\n -- ${MAINTAINER}  ${date}\n\n")
    elseif(trailer STREQUAL "")
        # The title and introduction before the first version.
    elseif(line MATCHES "^- (.*)$")
        string(APPEND text "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  (.*)$")
        string(APPEND text "    ${CMAKE_MATCH_1}\n")
    elseif(NOT line STREQUAL "")
        message(FATAL_ERROR "${IN}: not a heading or an item: ${line}")
    endif()
endforeach()
string(REGEX REPLACE "\n+$" "\n" trailer "${trailer}")
file(WRITE "${OUT}" "${text}${trailer}")
