import _tarnwell; print(_tarnwell.__doc__)
