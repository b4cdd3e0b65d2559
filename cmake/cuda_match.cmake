# Refuses an nvcc whose CUDA major differs from the one torch was built with
# (kernels from one major next to a torch built with another fail at run
# time; torch's own extension builder refuses the same). Used by
# CMakeLists.txt, and runnable alone for tests:
#   cmake -DNVCC_VERSION=12.8.93 -DTORCH_CUDA_VERSION=13.0 -P cmake/cuda_match.cmake
function(voxstep_check_cuda_match nvcc_version torch_cuda_version)
  if(torch_cuda_version STREQUAL "")
    return()  # a CPU build of torch: any nvcc will do
  endif()
  string(REGEX MATCH "^[0-9]+" _nvcc_major "${nvcc_version}")
  string(REGEX MATCH "^[0-9]+" _torch_major "${torch_cuda_version}")
  if(NOT _nvcc_major STREQUAL _torch_major)
    message(FATAL_ERROR
      "nvcc ${nvcc_version} does not match CUDA ${torch_cuda_version}, which the installed "
      "torch was built with: the CUDA major versions must agree. Install CUDA "
      "${_torch_major}.x (or point CUDACXX / -DCMAKE_CUDA_COMPILER at its nvcc), or the torch "
      "build for CUDA ${_nvcc_major}; VOXSTEP_CUDA=OFF builds the CPU backend only.")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED NVCC_VERSION)
  voxstep_check_cuda_match("${NVCC_VERSION}" "${TORCH_CUDA_VERSION}")
  message(STATUS "nvcc ${NVCC_VERSION} fits torch CUDA '${TORCH_CUDA_VERSION}'")
endif()
