# Run by cmake --install: the application-menu entry, naming the program where this install puts
# it (the prefix is known only now). SOURCE, BINDIR and WORKDIR are set by the install rule.
set(program "${CMAKE_INSTALL_PREFIX}/${BINDIR}/broadcaster")
if(program MATCHES "[ \t\"'\\\\><~|&;$*?#()`%]")
  # Quoted as desktop entries require: '"', '`', '$' and '\' escaped inside double quotes, then
  # '\' doubled and '%' written as "%%" for the value itself.
  string(REPLACE "\\" "\\\\" program "${program}")
  string(REPLACE "\"" "\\\"" program "${program}")
  string(REPLACE "`" "\\`" program "${program}")
  string(REPLACE "$" "\\$" program "${program}")
  set(program "\"${program}\"")
  string(REPLACE "\\" "\\\\" program "${program}")
  string(REPLACE "%" "%%" program "${program}")
endif()
set(TUTORLANE_EXEC "${program}")
set(entry "${WORKDIR}/tutorlane-broadcaster.desktop")
configure_file("${SOURCE}" "${entry}" @ONLY)
file(INSTALL "${entry}" DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications")
