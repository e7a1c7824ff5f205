// placeholder until the component lands
