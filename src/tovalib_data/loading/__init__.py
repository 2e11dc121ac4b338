"""loading"""
