# cmake -P: INPUT compressed to OUTPUT with gzip -9n. With VERSION, a man
# page's title line (.TH) names that version.
#   -DINPUT=... -DOUTPUT=... [-DVERSION=x.y.z]
get_filename_component(dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(source ${INPUT})
if(VERSION)
  file(READ ${INPUT} text)
  string(REGEX REPLACE "(\n\\.TH [^\n]*\"tolvex )[0-9.]+\"" "\\1${VERSION}\"" text "\n${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  set(source ${OUTPUT}.in)
  file(WRITE ${source} "${text}")
endif()
execute_process(COMMAND gzip -9n -c INPUT_FILE ${source} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip ${source}: ${failed}")
endif()
