# The two halves of the uninstall, in one file so that they agree on the
# record they share.
#
# At install time (included by an install(CODE) rule that runs before any
# file is put in place, with GEMMEL_INSTALL_DIRS and GEMMEL_RECORD set):
# writes to GEMMEL_RECORD each folder, from the install's destinations up to
# and including the prefix, that does not exist yet and that the install is
# therefore about to create. Folders recorded by an earlier install that
# still exist are kept.
#
# At uninstall time (cmake -DGEMMEL_MANIFEST=... -DGEMMEL_RECORD=... -P):
# removes every file that the manifest lists, then each folder those files
# were in that is left empty, walking up; a folder is removed only if the
# record names it, so the walk never goes past the prefix nor touches a
# folder that was there before the install. rmdir removes a folder only if
# it is empty. DESTDIR is honoured in both halves, as the install honours it.

cmake_policy(VERSION 3.25)

function(gemmel_normal out path)
  cmake_path(SET path NORMALIZE "${path}")
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

function(gemmel_read_record out)
  set(folders)
  if(EXISTS "${GEMMEL_RECORD}")
    file(STRINGS "${GEMMEL_RECORD}" recorded)
    foreach(folder IN LISTS recorded)
      if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}")
        list(APPEND folders "${folder}")
      endif()
    endforeach()
  endif()
  set(${out} "${folders}" PARENT_SCOPE)
endfunction()

function(gemmel_write_record folders)
  list(REMOVE_DUPLICATES folders)
  list(JOIN folders "\n" content)
  if(folders)
    string(APPEND content "\n")
  endif()
  file(WRITE "${GEMMEL_RECORD}" "${content}")
endfunction()

function(gemmel_record_created)
  gemmel_read_record(created)
  gemmel_normal(prefix "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  foreach(destination IN LISTS GEMMEL_INSTALL_DIRS)
    if(NOT IS_ABSOLUTE "${destination}")
      set(destination "${CMAKE_INSTALL_PREFIX}/${destination}")
    endif()
    gemmel_normal(folder "$ENV{DESTDIR}${destination}")
    cmake_path(IS_PREFIX prefix "${folder}" NORMALIZE below_prefix)
    while(below_prefix AND NOT EXISTS "${folder}" AND NOT IS_SYMLINK "${folder}")
      list(APPEND created "${folder}")
      if(folder STREQUAL prefix)
        break()
      endif()
      cmake_path(GET folder PARENT_PATH folder)
    endwhile()
  endforeach()
  gemmel_write_record("${created}")
endfunction()

if(DEFINED GEMMEL_INSTALL_DIRS)
  # A component install (as CPack makes) writes no install_manifest.txt, so
  # it keeps no record either.
  if(NOT CMAKE_INSTALL_COMPONENT)
    gemmel_record_created()
  endif()
  return()
endif()

if(NOT EXISTS "${GEMMEL_MANIFEST}")
  message(FATAL_ERROR "${GEMMEL_MANIFEST} not found: nothing was installed "
          "from this build folder.")
endif()
gemmel_read_record(created)
file(STRINGS "${GEMMEL_MANIFEST}" installed)
set(folders)
set(failed)
foreach(file IN LISTS installed)
  gemmel_normal(path "$ENV{DESTDIR}${file}")
  cmake_path(GET path PARENT_PATH folder)
  list(APPEND folders "${folder}")
  if(IS_SYMLINK "${path}" OR (EXISTS "${path}" AND NOT IS_DIRECTORY "${path}"))
    message(STATUS "Removing: ${path}")
    file(REMOVE "${path}")
    if(EXISTS "${path}" OR IS_SYMLINK "${path}")
      list(APPEND failed "${path}")
    endif()
  elseif(EXISTS "${path}")
    message(STATUS "Not a file, left: ${path}")
  else()
    message(STATUS "Already gone: ${path}")
  endif()
endforeach()

# Every folder a removed file was in is tried, and each folder emptied
# tries its parent: the last one emptied below a common parent removes it.
list(REMOVE_DUPLICATES folders)
foreach(folder IN LISTS folders)
  while(folder IN_LIST created)
    execute_process(COMMAND rmdir -- "${folder}" RESULT_VARIABLE status
                    OUTPUT_QUIET ERROR_QUIET)
    if(NOT status EQUAL 0)
      break()
    endif()
    message(STATUS "Removing folder: ${folder}")
    list(REMOVE_ITEM created "${folder}")
    cmake_path(GET folder PARENT_PATH folder)
  endwhile()
endforeach()
if(failed)
  list(JOIN failed "\n  " failed)
  message(SEND_ERROR "Could not remove:\n  ${failed}")
endif()
gemmel_write_record("${created}")
