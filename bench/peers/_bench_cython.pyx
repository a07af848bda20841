# cython: language_level=3
# Cython peer: a def function with long long parameters.

def mysum(long long a, long long b):
    # Unsigned add: wrap-around without signed overflow.
    return <long long>(<unsigned long long>a + <unsigned long long>b)
