# The optional signing step of the .rpm: to be filled in.
function(tarvik_rpm_sign file)
endfunction()
