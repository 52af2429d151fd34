# Writes which of the workspace's crates each crate links, one line per
# crate ("kivu-boards: kivu-cli kivu-exchange kivu-host kivu-output-file"),
# from the link lines of the crate's targets, into
# ${PROJECT_BINARY_DIR}/architecture-links.txt. The test
# architecture_doc_lists_each_crates_links (cmake/check_architecture_doc.cmake)
# compares it with the table of docs/architecture.md. kivu-base sits under
# everything: any crate may link it, so it has a line of its own but is left
# out of the other crates' lines.
# Included at the end of the top-level CMakeLists.txt, once every target exists.

set(kivu_arch_crate_kivu-base kivu_base)
set(kivu_arch_crate_kivu-exchange kivu_exchange)
set(kivu_arch_crate_kivu-output-file kivu_output_file)
set(kivu_arch_crate_kivu-package kivu_package kivu_package_schema)
set(kivu_arch_crate_kivu-host kivu_host)
set(kivu_arch_crate_kivu-cli kivu_cli)
set(kivu_arch_crate_kivu-runtime kivu_runtime)
set(kivu_arch_crate_runners kivu_runner_support kivu_attention_scenario kivu_gemm_scenario kivu_segmented_compiler
    kivu-attention-f16-e2e kivu-gemm-e2e kivu-hardware-e2e kivu-host-e2e kivu-randomized-e2e)
set(kivu_arch_crate_hardware_e2e hardware_e2e_launch hardware_e2e_frame hardware_e2e hardware_e2e_merge_lib
    hardware_e2e_merge)
set(kivu_arch_crate_kivu-boards kivu_boards_tool kivu-boards)
set(kivu_arch_crate_kivu-profile kivu_profile_tool kivu-profile)
set(kivu_arch_crate_kivu-results kivu_results kivu_results_tool kivu-results)
set(kivu_arch_crate_kivu-test-support kivu_test_support)
set(kivu_arch_crates kivu-base kivu-exchange kivu-output-file kivu-package kivu-host kivu-cli kivu-runtime runners hardware_e2e
    kivu-boards kivu-profile kivu-results kivu-test-support)

# The crate that owns each target.
foreach(crate IN LISTS kivu_arch_crates)
  foreach(target IN LISTS kivu_arch_crate_${crate})
    set(kivu_arch_owner_${target} ${crate})
  endforeach()
endforeach()

set(kivu_arch_text "")
foreach(crate IN LISTS kivu_arch_crates)
  set(links "")
  set(built FALSE)
  foreach(target IN LISTS kivu_arch_crate_${crate})
    if(NOT TARGET ${target})
      continue()
    endif()
    set(built TRUE)
    get_target_property(direct ${target} LINK_LIBRARIES)
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    foreach(item IN LISTS direct interface)
      # $<BUILD_INTERFACE:x> and $<LINK_ONLY:x> name x.
      string(REGEX REPLACE "^\\$<[A-Z_]+:(.*)>$" "\\1" item "${item}")
      if(NOT TARGET "${item}")
        continue()
      endif()
      get_target_property(aliased "${item}" ALIASED_TARGET)
      if(aliased)
        set(item "${aliased}")
      endif()
      set(owner "${kivu_arch_owner_${item}}")
      if(owner AND NOT owner STREQUAL crate AND NOT owner STREQUAL "kivu-base")
        list(APPEND links "${owner}")
      endif()
    endforeach()
  endforeach()
  if(built)
    list(REMOVE_DUPLICATES links)
    list(SORT links)
    list(JOIN links " " links)
    string(APPEND kivu_arch_text "${crate}: ${links}\n")
  endif()
endforeach()
file(WRITE "${PROJECT_BINARY_DIR}/architecture-links.txt" "${kivu_arch_text}")
