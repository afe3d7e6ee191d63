// Test tool for the JRMI capture: lists the names of the registry at
// HOST PORT.
import java.rmi.registry.LocateRegistry;

public class RegistryList {
    public static void main(String[] args) throws Exception {
        for (String name : LocateRegistry.getRegistry(args[0], Integer.parseInt(args[1])).list())
            System.out.println(name);
    }
}
