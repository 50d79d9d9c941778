# The record's field table holds to the struct: a copy of the sources with one member added to
# EntityTrust must fail to compile, and compile again once the member is listed as not persisted;
# a tensor with a dimension missing from the table must fail too.
# Run by ctest: cmake -DCXX=<compiler> -DSRC=<src dir> -DWORK=<scratch dir> -P record_table_check.cmake
# Compiles the edited copy; fails the check with why and the compiler's errors unless the outcome
# is the expected one (TRUE: it compiles).
function(expect_compile expected why)
  file(WRITE ${WORK}/check.cc "#include \"entity/trust/record_fields.h\"\n")
  execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -I${WORK}/src ${WORK}/check.cc
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
  if((status EQUAL 0) AND NOT expected)
    message(FATAL_ERROR "${why}")
  elseif(NOT (status EQUAL 0) AND expected)
    message(FATAL_ERROR "${why}:\n${errors}")
  endif()
  set(last_errors "${errors}" PARENT_SCOPE)
endfunction()

function(edit file from to)
  file(READ ${WORK}/src/${file} text)
  string(FIND "${text}" "${from}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file} no longer holds '${from}'")
  endif()
  string(REPLACE "${from}" "${to}" text "${text}")
  file(WRITE ${WORK}/src/${file} "${text}")
endfunction()

file(REMOVE_RECURSE ${WORK})
file(COPY ${SRC} DESTINATION ${WORK})
expect_compile(TRUE "the sources as they are do not compile")

edit(entity/trust/entity_trust.h "  Timestamp created_at;\n" "  Timestamp created_at;\n  int note = 0;\n")
expect_compile(FALSE "a member in neither the field table nor the transient list compiled")
if(NOT last_errors MATCHES "a member of EntityTrust is missing from VELK_RECORD_FIELDS")
  message(FATAL_ERROR "the build failed, but not with the table's message:\n${last_errors}")
endif()

edit(entity/trust/record_fields.h "#define VELK_RECORD_TRANSIENT(MEMBER)\n" "#define VELK_RECORD_TRANSIENT(MEMBER) MEMBER(note)\n")
expect_compile(TRUE "a member listed as not persisted did not compile")

edit(entity/trust/record_fields.h "  FIELD(V3Compat::kKeys[1], v3.veracity, v3, Absent::Default, Python::Writable)" "")
expect_compile(FALSE "a tensor with a dimension missing from the table compiled")
