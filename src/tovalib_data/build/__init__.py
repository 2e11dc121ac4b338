"""build"""
