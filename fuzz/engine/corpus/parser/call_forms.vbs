foo (1) + 2, 3
foo(1, 2)
Call foo(1, 2)
