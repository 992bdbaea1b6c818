"""Kestrane quickstart."""

import kepi._sys as ke

print("20! =", ke.factorial(20))
print("F(93) =", ke.fibonacci(93))
