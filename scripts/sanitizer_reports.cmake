# Sanitizer reports of a test run in the sanitized build:
#   cmake -D DIR=<folder> -D MODE=clear|check -P sanitizer_reports.cmake
# Every process of the run writes its reports as files in DIR, also those that run detached with
# their output on /dev/null (the bus service). "clear" empties DIR before the tests; "check" runs
# after them, prints each report and fails if there is one.
if(MODE STREQUAL "clear")
  file(REMOVE_RECURSE "${DIR}")
  file(MAKE_DIRECTORY "${DIR}")
elseif(MODE STREQUAL "check")
  file(GLOB reports "${DIR}/*")
  if(reports)
    foreach(report IN LISTS reports)
      file(READ "${report}" text)
      message("== ${report}\n${text}")
    endforeach()
    list(LENGTH reports count)
    message(FATAL_ERROR "${count} sanitizer report(s) in ${DIR}")
  endif()
  message("no sanitizer reports")
else()
  message(FATAL_ERROR "MODE must be clear or check")
endif()
