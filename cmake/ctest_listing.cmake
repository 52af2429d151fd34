# Reading a test as `ctest --show-only=json-v1` lists it; included by the
# scripts that check or complete what ctest reports (check_test_labels.cmake,
# junit_failures.cmake).

# ctest_test_properties(TEST PREFIX): of the test whose json-v1 object is
# TEST, sets in the caller's scope PREFIX_name, PREFIX_labels (a list, in the
# test's order), PREFIX_timeout and PREFIX_working_directory ("" for what the
# test does not set).
function(ctest_test_properties test prefix)
  string(JSON name GET "${test}" name)
  set(labels "")
  set(timeout "")
  set(directory "")
  string(JSON properties ERROR_VARIABLE no_properties GET "${test}" properties)
  if(no_properties)
    set(properties "[]")
  endif()
  string(JSON property_count LENGTH "${properties}")
  if(property_count GREATER 0)
    math(EXPR last_property "${property_count} - 1")
    foreach(p RANGE ${last_property})
      string(JSON property GET "${properties}" ${p} name)
      if(property STREQUAL "LABELS")
        string(JSON label_count LENGTH "${properties}" ${p} value)
        if(label_count GREATER 0)
          math(EXPR last_label "${label_count} - 1")
          foreach(l RANGE ${last_label})
            string(JSON label GET "${properties}" ${p} value ${l})
            list(APPEND labels "${label}")
          endforeach()
        endif()
      elseif(property STREQUAL "TIMEOUT")
        string(JSON timeout GET "${properties}" ${p} value)
      elseif(property STREQUAL "WORKING_DIRECTORY")
        string(JSON directory GET "${properties}" ${p} value)
      endif()
    endforeach()
  endif()
  set(${prefix}_name "${name}" PARENT_SCOPE)
  set(${prefix}_labels "${labels}" PARENT_SCOPE)
  set(${prefix}_timeout "${timeout}" PARENT_SCOPE)
  set(${prefix}_working_directory "${directory}" PARENT_SCOPE)
endfunction()
