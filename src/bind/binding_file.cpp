// placeholder: implemented in the redesign
