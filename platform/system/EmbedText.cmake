# cmake -DINPUT=FILE -DOUTPUT=FILE -P EmbedText.cmake: writes FILE's text as a C++ raw string literal.
file(READ ${INPUT} text)
file(WRITE ${OUTPUT} "R\"plumo_embedded(${text})plumo_embedded\"\n")
