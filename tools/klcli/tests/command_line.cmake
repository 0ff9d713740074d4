# Runs klcli with command lines that are wrong (status 2 and the usage
# text) and with connections that cannot succeed (status 1 and the
# failed call named), checking the exit status and the output of each.
#
# -DKLCLI=program -DWORK_DIR=folder

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Nothing ever listens on port 0: a connect to it is refused.
set(env ${WORK_DIR}/closed.env)
file(WRITE ${env} "[environment]\nname=test\n[include]\nNode=LOCAL\nfilename=none.db\n"
                  "[Node LOCAL]\ntransport=tcpsockets\nipaddress=127.0.0.1\nport=0\n")
set(trace ${WORK_DIR}/trace.log)

# case(<name> <exit status> <stdout regex> <stderr regex> ARGS...)
# KL_WINDIR names an empty folder so no talvern.ini of the machine counts.
function(case name expected out_regex err_regex)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=KL_ENV KL_WINDIR=${WORK_DIR} ${ENV_PREFIX}
            ${KLCLI} ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
  if(NOT status STREQUAL expected OR NOT out MATCHES "${out_regex}" OR NOT err MATCHES "${err_regex}")
    message(SEND_ERROR "${name}: klcli ${ARGN}\n  status ${status} (expected ${expected})\n"
                       "  stdout: ${out}\n  stderr: ${err}")
  endif()
endfunction()

set(usage "Usage: klcli")
case(no_command 2 "^$" "no command given.*${usage}")
case(unknown_command 2 "^$" "unknown command 'frobnicate'.*${usage}" --env ${env} frobnicate)
case(unknown_option 2 "^$" "unknown option --colour.*${usage}" --colour tables)
case(missing_value 2 "^$" "option --env needs a value" tables --env)
case(too_few_operands 2 "^$" "wrong number of arguments for select" --env ${env} select)
case(too_many_operands 2 "^$" "wrong number of arguments for describe" --env ${env} describe a b)
case(limit_not_select 2 "^$" "--where and --limit go with select only" --env ${env} tables --limit 3)
case(limit_zero 2 "^$" "--limit takes a positive number" --env ${env} select t --limit=0)
case(bad_access 2 "^$" "--options takes R, W or E" --env ${env} --options X tables)
case(bad_error_number 2 "^$" "not an error number: 12x" --env ${env} error 12x)
case(no_environment 2 "^$" "no environment file" tables)
case(help 0 "${usage}.*Exit status" "^$" --help)

case(no_server 1 "^$" "^klcli: klconnect: .*\\[error 18065" --env ${env} tables)
case(no_environment_file 1 "^$" "^klcli: klconnect: " --env ${WORK_DIR}/missing.env info)
case(unwritable_trace 1 "^$" "klconnect: the trace log cannot be opened"
     --env ${env} --trace ${WORK_DIR}/no/such/folder/trace.log tables)
case(trace_written 1 "^$" "klconnect:" --env ${env} --trace ${trace} --options r tables)
set(ENV_PREFIX KL_ENV=${env})
case(environment_from_variable 1 "^$" "klconnect: .*\\[error 18065" version)

if(EXISTS ${trace})
  file(READ ${trace} trace_text)
endif()
if(NOT trace_text MATCHES "Function: klconnect")
  message(SEND_ERROR "trace_written: no klconnect in ${trace}: ${trace_text}")
endif()
