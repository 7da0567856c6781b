# Warnings are errors nowhere, but the suite is kept free of them under g++ and clang++.
add_compile_options(-Wall -Wextra -Wpedantic)
