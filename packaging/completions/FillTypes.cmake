# cmake -DTYPES=FILE -DTEMPLATE=FILE -DOUTPUT=FILE -P FillTypes.cmake
# Writes the completion TEMPLATE with the --type values of TYPES (one a line) in place of @PLUMO_TYPES@.
file(STRINGS ${TYPES} types)
list(JOIN types " " PLUMO_TYPES)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
